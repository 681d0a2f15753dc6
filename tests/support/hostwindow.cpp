#include "hostwindow.h"

#include "manifest/repomanager.h"

#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

HostWindow::HostWindow(const QStringList &repoNames)
    : m_panel(new QWidget(this)), m_manager(new RepoManager(this))
{
    m_panel->setObjectName("buttonPanel");
    // Without repositories the panel stays bare, for buildPanel to lay out.
    auto *layout = repoNames.isEmpty() ? nullptr : new QVBoxLayout(m_panel);
    for (const QString &name : repoNames) {
        auto *button = new QPushButton(name, m_panel);
        button->setEnabled(false);
        layout->addWidget(button);
        auto *bar = new QProgressBar(m_panel);
        bar->setObjectName(name);
        bar->setVisible(false);
        layout->addWidget(bar);
    }
    resize(800, 600);
}
