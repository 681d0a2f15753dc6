#include "extract/stagedinstall.h"

#include "extract/filenames.h"
#include "extract/launcherfiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cstdio>
#endif

std::function<bool(const QString &)> StagedInstall::replaceHook;

namespace {

// Beside the repositories' folders; FileNames refuses it as an entry's top folder.
const QString workFolder = QStringLiteral("/") + LauncherFiles::workFolder;

#ifdef Q_OS_WIN
// The long-path form, which also lifts the 260-character limit.
std::wstring systemPath(const QString &path)
{
    const QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    return (native.startsWith(QLatin1String("\\\\")) ? native : "\\\\?\\" + native).toStdWString();
}
#endif

// A rename within the volume, never a copy. The target must be free: Windows refuses to replace
// a file this way, POSIX would replace it.
bool moveFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(systemPath(from).c_str(), systemPath(to).c_str(), 0) != 0;
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

bool isTaken(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}

} // namespace

StagedInstall::StagedInstall(const QString &root)
    : m_root(root), m_staging(root + workFolder + "/new"), m_aside(root + workFolder + "/old")
{
    removeLeftovers(root);
}

void StagedInstall::removeLeftovers(const QString &root)
{
    // Files put aside by an earlier update stay while a program still holds them.
    QDir(root + workFolder).removeRecursively();
}

// The replaced files go too, but for those a running program still holds.
StagedInstall::~StagedInstall()
{
    removeLeftovers(m_root);
}

bool StagedInstall::claim(const QString &entryName)
{
    // The path as Windows compares it, level by level: separators and "." parts aside, letter
    // case folded. The same spelling twice is one file or folder on every system.
    QString spelled;
    for (const QStringView part : FileNames::components(entryName)) {
        if (part.isEmpty() || part == u".")
            continue;
        spelled += (spelled.isEmpty() ? "" : "/") + part.toString();
        const QString folded = spelled.toCaseFolded();
        const auto known = m_claimed.constFind(folded);
        if (known != m_claimed.cend() && *known != spelled)
            return false;
        m_claimed.insert(folded, spelled);
    }
    return true;
}

void StagedInstall::add(const QString &entryName, bool isFolder)
{
    // A name given twice ("a/x", "a/./x") was staged twice into the same file: moved once.
    const QString path = QDir::cleanPath(stagedPath(entryName));
    if (!m_added.contains(path))
        m_entries.append({entryName, isFolder});
    m_added.insert(path);
}

bool StagedInstall::commit(QString &failedEntry)
{
    for (const auto &[name, isFolder] : std::as_const(m_entries)) {
        const QString target = m_root + "/" + name;
        if (isFolder ? makeFolders(target) : moveInto(name))
            continue;
        failedEntry = name;
        rollBack();
        return false;
    }
    m_steps.clear();
    return true;
}

// Makes every missing level of path, noting each for the roll-back.
bool StagedInstall::makeFolders(const QString &path)
{
    QStringList missing;
    for (QString level = QDir::cleanPath(path); level.size() > m_root.size();
         level = QFileInfo(level).path()) {
        const QFileInfo info(level);
        if (info.isDir())
            break;
        if (isTaken(info))
            return false;
        missing.prepend(level);
    }
    for (const QString &level : std::as_const(missing)) {
        if (!QDir().mkdir(level))
            return false;
        m_steps.append({Step::MadeFolder, level, {}});
    }
    return true;
}

// Moves a staged file into place, the installed one it replaces renamed aside first.
bool StagedInstall::moveInto(const QString &entryName)
{
    const QString target = m_root + "/" + entryName;
    if ((replaceHook && !replaceHook(target)) || !makeFolders(QFileInfo(target).path()))
        return false;
    if (isTaken(QFileInfo(target))) {
        const QString aside = nextAsidePath();
        if (aside.isEmpty() || !moveFile(target, aside))
            return false;
        m_steps.append({Step::MovedAside, target, aside});
    }
    if (!moveFile(stagedPath(entryName), target))
        return false;
    m_steps.append({Step::MovedIn, stagedPath(entryName), target});
    return true;
}

// Every step undone, the last first: the installed tree as it was before the commit.
void StagedInstall::rollBack()
{
    while (!m_steps.isEmpty()) {
        const Step step = m_steps.takeLast();
        const bool undone = step.kind == Step::MadeFolder ? QDir().rmdir(step.from)
                                                          : moveFile(step.to, step.from);
        if (!undone)
            qDebug() << "Failed to restore" << (step.kind == Step::MovedIn ? step.to : step.from);
    }
}

// A free name in the folder of replaced files; some may be left from an earlier update.
QString StagedInstall::nextAsidePath()
{
    if (!QDir().mkpath(m_aside))
        return {};
    QString path;
    do {
        path = m_aside + "/" + QString::number(++m_asideCount);
    } while (isTaken(QFileInfo(path)));
    return path;
}
