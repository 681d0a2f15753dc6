#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// Two launchers at once would download into the same archive files and extract into the same
// folder; the first one takes this lock and keeps it while it runs.

// The lock in folder (made when missing), held until the object is destroyed. A lock left by a
// process that no longer runs, or naming this very process (its id handed out again), is taken
// over. Null when it cannot be taken: *problem is then empty when another living launcher holds
// it, and otherwise says why the folder cannot be used.
std::unique_ptr<QLockFile> takeLauncherLock(const QString &folder, QString *problem = nullptr);

// Tells that another launcher is running: a log line, then an information box; returns once the
// box is closed.
void reportLauncherRunning();

// Tells that the launcher cannot use its folder, and why: a log line, then an information box.
void reportFolderUnusable(const QString &folder, const QString &problem);
