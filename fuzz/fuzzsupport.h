#pragma once

#include <QByteArray>
#include <QString>

#include "hostwindow.h"

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

// The tests' stand-in for the main window: a button panel and a RepoManager, no background.
using Window = HostWindow;

} // namespace FuzzSupport
