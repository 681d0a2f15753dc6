#include "app/launcherlock.h"

#include "extract/launcherfiles.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QMessageBox>
#include <QTemporaryFile>

namespace {

constexpr const char *lockFileName = LauncherFiles::lock;

// QLockFile says only what kind of failure it met; writing a file beside it tells the reason.
QString whyUnwritable(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return QStringLiteral("the folder cannot be created");
    QTemporaryFile probe(folder + "/launcher-XXXXXX.tmp");
    if (!probe.open() || probe.write("probe\n") != 6 || !probe.flush())
        return probe.errorString();
    return QStringLiteral("the lock file cannot be written");
}

} // namespace

std::unique_ptr<QLockFile> takeLauncherLock(const QString &folder, QString *problem)
{
    QDir().mkpath(folder);
    auto lock = std::make_unique<QLockFile>(folder + "/" + lockFileName);
    // A launcher runs for hours: only a dead owner makes the lock stale, never its age.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0))
        return lock;
    qint64 pid = 0;
    // Qt sees the owner alive when the system gave this process the id of a killed launcher (Wine
    // hands out the same small ids every time). This process holds no lock yet: it is stale.
    if (lock->error() == QLockFile::LockFailedError && lock->getLockInfo(&pid, nullptr, nullptr)
        && pid == QCoreApplication::applicationPid() && lock->removeStaleLockFile()
        && lock->tryLock(0))
        return lock;
    if (problem && lock->error() != QLockFile::LockFailedError)
        *problem = whyUnwritable(folder);
    return nullptr;
}

void reportLauncherRunning()
{
    qDebug() << "Another launcher is already running.";
    QMessageBox::information(nullptr, "Veltro", "The launcher is already running.");
}

void reportFolderUnusable(const QString &folder, const QString &problem)
{
    qDebug() << "The launcher cannot use its folder:" << folder << problem;
    QMessageBox::information(nullptr, "Veltro",
                             QString("The launcher cannot use its folder %1: %2.")
                                 .arg(QDir::toNativeSeparators(folder), problem));
}
