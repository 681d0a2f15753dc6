#pragma once

#include <QStringList>
#include <QWidget>

class RepoManager;

// The parts of the launcher window its code looks for, without a manifest or a background: a
// "buttonPanel" holding, per repository, a program button and a hidden progress bar named like
// it; and a RepoManager child. Used by the tests, the fuzz targets and the benchmark.
class HostWindow : public QWidget
{
public:
    explicit HostWindow(const QStringList &repoNames = {});
    QWidget *panel() const { return m_panel; }
    RepoManager *manager() const { return m_manager; }

private:
    QWidget *m_panel;
    RepoManager *m_manager;
};
