#include "app/launcherlock.h"

#include <QDebug>
#include <QDir>
#include <QMessageBox>

namespace {

constexpr char lockFileName[] = "launcher.lock";

} // namespace

std::unique_ptr<QLockFile> takeLauncherLock(const QString &folder)
{
    QDir().mkpath(folder);
    auto lock = std::make_unique<QLockFile>(folder + "/" + lockFileName);
    // A launcher runs for hours: only a dead owner makes the lock stale, never its age.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return nullptr;
    return lock;
}

void reportLauncherRunning()
{
    qDebug() << "Another launcher is already running.";
    QMessageBox::information(nullptr, "Veltro", "The launcher is already running.");
}
