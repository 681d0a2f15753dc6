#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// Two launchers at once would download into the same archive files and extract into the same
// folder; the first one takes this lock and keeps it while it runs.

// The lock in folder (made when missing), held until the object is destroyed; null when another
// living launcher holds it. A lock left by a process that no longer runs is taken over.
std::unique_ptr<QLockFile> takeLauncherLock(const QString &folder);

// Tells that another launcher is running: a log line, then an information box; returns once the
// box is closed.
void reportLauncherRunning();
