#include "extract/stagedinstall.h"

#include "extract/filenames.h"
#include "extract/launcherfiles.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#endif

std::function<bool(const QString &)> StagedInstall::replaceHook;
std::function<bool(const QString &)> StagedInstall::restoreHook;
std::function<bool(const QString &)> StagedInstall::stopHook;

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
// a file this way, POSIX would replace it. crossed: set when it failed for crossing volumes.
bool moveFile(const QString &from, const QString &to, bool *crossed = nullptr)
{
#ifdef Q_OS_WIN
    const bool moved = MoveFileExW(systemPath(from).c_str(), systemPath(to).c_str(), 0) != 0;
    const bool across = !moved && GetLastError() == ERROR_NOT_SAME_DEVICE;
#else
    const bool moved =
        std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
    const bool across = !moved && errno == EXDEV;
#endif
    if (crossed)
        *crossed = across;
    return moved;
}

bool isTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// The volume a path is on, through links and junctions; a path not made yet is on its nearest
// existing parent's. 0 when it cannot be told.
quint64 volumeOf(QString path)
{
    while (!QFileInfo::exists(path) && QFileInfo(path).path() != path)
        path = QFileInfo(path).path();
#ifdef Q_OS_WIN
    const HANDLE handle = CreateFileW(systemPath(path).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    return known ? info.dwVolumeSerialNumber : 0;
#else
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? quint64(info.st_dev) : 0;
#endif
}

// A new file at to with from's bytes and permissions, on the disk itself before it is used.
bool copyDurably(const QString &from, const QString &to)
{
    QFile source(from);
    QFile copy(to);
    if (!source.open(QIODevice::ReadOnly) || !copy.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 read = 0;
    while ((read = source.read(buffer.data(), buffer.size())) > 0) {
        if (copy.write(buffer.constData(), read) != read)
            return false;
    }
    return read == 0 && InstallJournal::sync(copy) && copy.size() == source.size()
           && copy.setPermissions(source.permissions());
}

// Removes a folder and all in it, reporting each file: tens of thousands can take seconds.
void removeTree(const QString &path, const std::function<void()> &removed)
{
    QDirIterator files(path, QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile::remove(files.next());
        removed();
    }
    QDir(path).removeRecursively();
}

} // namespace

StagedInstall::StagedInstall(const QString &root, const Tick &tick) : StagedInstall(root, 0, tick)
{
    m_blocked = recoverAll(root);
    const QList<int> earlier = installFolders(root);
    setNumber(earlier.isEmpty() ? 1 : earlier.last() + 1);
}

StagedInstall::StagedInstall(const QString &root, int number, const Tick &tick)
    : m_root(root), m_tick(tick)
{
    setNumber(number);
}

void StagedInstall::setNumber(int number)
{
    m_folder = m_root + workFolder + "/" + QString::number(number);
    m_staging = m_folder + "/new";
    m_journal = InstallJournal(m_folder + "/journal");
}

// Its folder goes unless it must stay for the next start; files set aside stay while a program
// still holds them.
StagedInstall::~StagedInstall()
{
    if (!m_keep)
        removeFolder();
}

bool StagedInstall::recover(const QString &root)
{
    return recoverAll(root).isEmpty();
}

QString StagedInstall::recoverAll(const QString &root)
{
    QString unresolved;
    for (const int number : installFolders(root)) {
        const QString entry = resolve(root, number);
        if (unresolved.isEmpty())
            unresolved = entry;
    }
    return unresolved;
}

// The numbers of the installs' folders, in order; anything else in the work folder but the
// installs' index goes.
QList<int> StagedInstall::installFolders(const QString &root)
{
    QList<int> numbers;
    QDir folder(root + workFolder);
    for (const QString &name :
         folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const int number = name.toInt(&isNumber);
        if (isNumber && number > 0 && QFileInfo(folder.filePath(name)).isDir())
            numbers.append(number);
        else if (name == QLatin1String(LauncherFiles::indexFolder))
            continue;
        else if (!QFile::remove(folder.filePath(name)))
            QDir(folder.filePath(name)).removeRecursively();
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// Finishes or undoes the install in folder number as its journal tells; the entry that could not
// be put back, or empty when the folder is gone.
QString StagedInstall::resolve(const QString &root, int number)
{
    StagedInstall install(root, number, {});
    bool moving = false, moved = false, undoing = false, recorded = false;
    for (const QStringList &line : InstallJournal::read(install.m_journal.path())) {
        const QString &keyword = line.constFirst();
        if (keyword == "record" && line.size() == 3)
            install.m_record = {line.at(1), line.at(2)};
        else if (keyword == "dir" && line.size() == 2)
            install.m_steps.append({line.at(1), true, {}, {}, {}});
        else if (keyword == "file" && line.size() == 5)
            install.m_steps.append({line.at(1), false, line.at(2), line.at(3), line.at(4)});
        else if (keyword == "beside" && line.size() == 4)
            install.reroute(line.at(1), line.at(2), line.at(3));
        moving |= keyword == "moving";
        moved |= keyword == "moved";
        undoing |= keyword == "undo";
        recorded |= keyword == "recorded";
    }
    // Before the whole plan was on disk nothing moved: there is nothing to put back.
    if (!moving)
        install.m_steps.clear();
    if (!moving || recorded)
        return {};
    qDebug() << "Resolving interrupted update:" << install.m_folder;
    const bool whole = std::all_of(install.m_steps.cbegin(), install.m_steps.cend(),
                                   [&](const Step &step) { return install.isDone(step); });
    const Result result = moved && !undoing && whole ? install.finish()
                                                     : install.undo(Outcome::NotMoved, {});
    if (result.outcome != Outcome::RestoreFailed)
        return {};
    // Neither version is on disk: the next check must not take the repository for up to date.
    if (!install.m_record.path.isEmpty() && QFile::remove(install.m_record.path))
        qDebug() << "Removed hash file of unresolved update:" << install.m_record.path;
    return result.detail;
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

StagedInstall::Result StagedInstall::commit(const CommitRecord &record)
{
    m_record = record;
    if (stop("staged"))
        return {Outcome::Stopped, {}};
    // Another install's undo reads the tree as that install left it: nothing moves before it is
    // resolved.
    if (!m_blocked.isEmpty())
        return {Outcome::RestoreFailed, m_blocked};
    QString failedEntry;
    if (!plan(failedEntry))
        return {Outcome::NotMoved, failedEntry};
    QList<QStringList> lines{{"record", m_record.path, m_record.commitId}};
    for (const Step &step : std::as_const(m_steps)) {
        lines.append(step.folder
                         ? QStringList{"dir", step.name}
                         : QStringList{"file", step.name, step.staged, step.aside, step.temp});
    }
    lines.append({"moving"});
    if (!QDir().mkpath(m_folder + "/old") || !m_journal.append(lines)) {
        qDebug() << "Failed to write update journal:" << m_journal.path();
        m_steps.clear();
        return {Outcome::JournalUnwritable, QDir::toNativeSeparators(m_journal.path())};
    }
    m_clock.start();
    for (Step &step : m_steps) {
        if (stop("move " + step.name))
            return {Outcome::Stopped, {}};
        bool crossed = false;
        bool moved = perform(step, crossed);
        // Volumes the plan could not tell apart (one file system mounted twice): the step failed
        // before it changed anything, and goes the way across volumes instead.
        if (!moved && crossed && !m_keep)
            moved = reroute(step) && perform(step, crossed);
        if (!moved)
            return m_keep ? Result{Outcome::Stopped, {}} : undo(Outcome::NotMoved, step.name);
        advance();
    }
    if (stop("moved"))
        return {Outcome::Stopped, {}};
    return finish();
}

// Every folder and file in the order they are made, with the names the replaced files and the
// copies across volumes will have. False when an installed file stands where a folder must be.
bool StagedInstall::plan(QString &failedEntry)
{
    const quint64 ownVolume = volumeOf(m_folder);
    QHash<QString, quint64> volumes; // of the targets' folders
    int asides = 0;
    for (const auto &[name, isFolder] : std::as_const(m_entries)) {
        failedEntry = name;
        const QString target = path(name);
        const QString folder = isFolder ? target : QFileInfo(target).path();
        if (!planFolders(folder))
            return false;
        if (isFolder)
            continue;
        const auto known = volumes.constFind(folder);
        const quint64 volume = known != volumes.cend() ? *known
                                                       : *volumes.insert(folder, volumeOf(folder));
        const bool beside = volume != ownVolume;
        Step step{name, false, below(stagedPath(name)), {}, {}};
        if (isTaken(target)) {
            step.aside = beside ? freeName(folder, "old")
                                : below(m_folder + "/old/" + QString::number(++asides));
        }
        if (beside)
            step.temp = freeName(folder, "new");
        m_steps.append(step);
    }
    m_total = m_steps.size() + asides;
    return true;
}

// Notes every missing level of folder as a folder to make.
bool StagedInstall::planFolders(const QString &folder)
{
    QStringList missing;
    for (QString level = QDir::cleanPath(folder); level.size() > m_root.size();
         level = QFileInfo(level).path()) {
        if (m_planned.contains(level) || QFileInfo(level).isDir())
            break;
        if (isTaken(level))
            return false;
        missing.prepend(level);
    }
    for (const QString &level : std::as_const(missing)) {
        m_planned.insert(level);
        m_steps.append({below(level), true, {}, {}, {}});
    }
    return true;
}

// A name in folder that is free on disk and that no entry of the archive takes.
QString StagedInstall::freeName(const QString &folder, const QString &kind)
{
    for (int count = 1;; ++count) {
        const QString name =
            QStringLiteral("%1/%2.%3.%4").arg(folder, LauncherFiles::workFolder, kind).arg(count);
        if (!m_planned.contains(name) && !m_claimed.contains(below(name).toCaseFolded())
            && !isTaken(name)) {
            m_planned.insert(name);
            return below(name);
        }
    }
}

bool StagedInstall::perform(const Step &step, bool &crossed)
{
    const QString target = path(step.name);
    if (step.folder)
        return QFileInfo(target).isDir() || QDir().mkdir(target);
    if (replaceHook && !replaceHook(target))
        return false;
    if (step.aside.isEmpty() ? isTaken(target) : !moveFile(target, path(step.aside), &crossed))
        return false;
    if (step.temp.isEmpty())
        return moveFile(path(step.staged), target, step.aside.isEmpty() ? &crossed : nullptr);
    // Another volume: a whole copy beside the target, renamed into place there.
    return copyDurably(path(step.staged), path(step.temp)) && QFile::remove(path(step.staged))
           && !stop("copied " + step.name) && moveFile(path(step.temp), target);
}

// New names beside the target for a step that found its target on another volume, in the journal
// before they are used.
bool StagedInstall::reroute(Step &step)
{
    const QString folder = QFileInfo(path(step.name)).path();
    if (!step.aside.isEmpty())
        step.aside = freeName(folder, "old");
    step.temp = freeName(folder, "new");
    return m_journal.append({"beside", step.name, step.aside, step.temp});
}

void StagedInstall::reroute(const QString &name, const QString &aside, const QString &temp)
{
    const auto step = std::find_if(m_steps.rbegin(), m_steps.rend(),
                                   [&](const Step &step) { return step.name == name; });
    if (step != m_steps.rend()) {
        step->aside = aside;
        step->temp = temp;
    }
}

// Read from the disk: the new file in place, the one it replaced set aside.
bool StagedInstall::isDone(const Step &step) const
{
    if (step.folder)
        return QFileInfo(path(step.name)).isDir();
    return isTaken(path(step.name)) && !isTaken(path(step.staged))
           && (step.temp.isEmpty() || !isTaken(path(step.temp)))
           && (step.aside.isEmpty() || isTaken(path(step.aside)));
}

// Puts back what the step did, as far as it got; again from the start after a kill.
bool StagedInstall::undoStep(const Step &step)
{
    const QString target = path(step.name);
    if (step.folder) {
        // A folder left holds what could not be put back; that file tells the failure.
        if (QFileInfo(target).isDir() && !QDir().rmdir(target))
            qDebug() << "Failed to restore" << target;
        return true;
    }
    const bool movedIn = isDone(step);
    bool restored = step.temp.isEmpty() || !isTaken(path(step.temp))
                    || QFile::remove(path(step.temp));
    // A copy on another volume is only a copy: the staged file went once it was whole.
    if (restored && movedIn) {
        restored = (!restoreHook || restoreHook(target))
                   && (step.temp.isEmpty() ? moveFile(target, path(step.staged))
                                           : QFile::remove(target));
    }
    if (restored && !step.aside.isEmpty() && isTaken(path(step.aside)))
        restored = !isTaken(target) && moveFile(path(step.aside), target);
    if (!restored)
        qDebug() << "Failed to restore" << target;
    return restored;
}

// All is in place: the record written, then the replaced files deleted.
StagedInstall::Result StagedInstall::finish()
{
    // Without the mark on disk the next start would undo what the record already names.
    if (!m_journal.append({"moved"})) {
        qDebug() << "Failed to write update journal:" << m_journal.path();
        return undo(Outcome::JournalUnwritable, QDir::toNativeSeparators(m_journal.path()));
    }
    if (stop("record"))
        return {Outcome::Stopped, {}};
    QString reason;
    if (!m_record.path.isEmpty() && !InstallJournal::writeRecord(m_record, reason)) {
        qDebug() << "Failed to write hash file:" << m_record.path << reason;
        return undo(Outcome::RecordUnwritable,
                    QDir::toNativeSeparators(m_record.path) + ": " + reason);
    }
    if (stop("recorded"))
        return {Outcome::Stopped, {}};
    // Without the mark the next start checks the tree and writes the record again.
    m_journal.append({"recorded"});
    removeFolder();
    return {Outcome::Installed, {}};
}

// Every step put back, the last first: the installed tree as it was before the commit. When one
// cannot be, everything stays for the next start.
StagedInstall::Result StagedInstall::undo(Outcome outcome, const QString &detail)
{
    m_journal.append({"undo"});
    QString unrestored;
    for (auto step = m_steps.crbegin(); step != m_steps.crend(); ++step) {
        if (stop("undo " + step->name))
            return {Outcome::Stopped, {}};
        if (!undoStep(*step) && unrestored.isEmpty())
            unrestored = step->name;
        advance();
    }
    if (unrestored.isEmpty())
        return {outcome, detail};
    m_keep = true;
    qDebug() << "Update left to resolve at the next start:" << m_folder;
    return {Outcome::RestoreFailed, unrestored};
}

// The install's folder, and the files set aside beside their targets on another volume.
void StagedInstall::removeFolder()
{
    // The journal first: a folder without one is only leftovers. One that stays keeps the rest.
    if (!QFile::remove(m_journal.path()) && QFile::exists(m_journal.path()))
        return;
    const auto removed = [this] { advance(); };
    for (const Step &step : std::as_const(m_steps)) {
        if (!step.aside.isEmpty() && !path(step.aside).startsWith(m_folder + "/")
            && QFile::remove(path(step.aside)))
            removed();
    }
    removeTree(m_folder, removed);
    QDir().rmdir(m_root + workFolder);
}

bool StagedInstall::stop(const QString &step)
{
    if (!stopHook || !stopHook(step))
        return false;
    m_keep = true;
    return true;
}

// Tells the caller every 100 ms or so, and once all is done, so its window stays alive.
void StagedInstall::advance()
{
    ++m_done;
    if (!m_tick || (m_done != m_total && m_clock.isValid() && m_clock.elapsed() < 100))
        return;
    m_clock.start();
    m_tick(m_done, qMax(m_total, m_done));
}
