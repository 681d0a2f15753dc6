#include "testenvironment.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#ifdef Q_OS_LINUX
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace {
TestEnvironment *current = nullptr;
}

TestEnvironment::TestEnvironment() : m_dir(QDir::tempPath() + "/veltro-test-XXXXXX")
{
    current = this;
#ifndef Q_OS_WIN
    // The Windows build's static Qt brings only the windows platform plugin.
    qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    const QString home = m_dir.path() + "/home";
    const QString work = m_dir.path() + "/work";
    QDir().mkpath(home);
    QDir().mkpath(work);
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home + "/.local/share"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + "/.config"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home + "/.cache"));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path() + "/runtime"));
    QDir().mkpath(m_dir.path() + "/runtime");
    QFile::setPermissions(m_dir.path() + "/runtime",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QStandardPaths::setTestModeEnabled(true);
    QDir::setCurrent(work);
}

TestEnvironment *TestEnvironment::instance()
{
    return current;
}

bool TestEnvironment::underWine()
{
#ifdef Q_OS_WIN
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool TestEnvironment::mountPrivateTmpfs(const char *target)
{
#ifdef Q_OS_LINUX
    const QByteArray uid = QByteArray::number(getuid()), gid = QByteArray::number(getgid());
    const auto put = [](const char *path, const QByteArray &text) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text) > 0;
    };
    return unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && put("/proc/self/setgroups", "deny")
           && put("/proc/self/uid_map", uid + ' ' + uid + " 1")
           && put("/proc/self/gid_map", gid + ' ' + gid + " 1")
           && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
           && mount("tmpfs", target, "tmpfs", 0, nullptr) == 0;
#else
    Q_UNUSED(target);
    return false;
#endif
}
