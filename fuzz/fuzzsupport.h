#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>

class RepoManager;

// What every fuzz target shares: one offscreen application in a sandbox (the tests' own), quiet
// logging, and a window stand-in that holds a button panel the way the main window does.
namespace FuzzSupport {

// Once per process, from LLVMFuzzerInitialize. Logging stays quiet unless VELTRO_FUZZ_VERBOSE is
// set: one line per step would otherwise dominate the run time.
void initialise();

// The sandbox folder (home, working directory and install root live below it).
QString sandbox();

// Posted deletions and queued calls up to now, run until nothing is left to do.
void drainEvents();

// A top-level widget with a "buttonPanel" child and a RepoManager child. Not a MainWindow, so no
// background picture is requested; destroyed as a whole when it goes out of scope.
class Window : public QWidget
{
public:
    Window();
    QWidget *panel() const { return m_panel; }
    RepoManager *manager() const { return m_manager; }

private:
    QWidget *m_panel;
    RepoManager *m_manager;
};

} // namespace FuzzSupport
