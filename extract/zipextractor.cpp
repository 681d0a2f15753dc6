#include "extract/zipextractor.h"

#include "extract/archivereader.h"
#include "extract/diskspace.h"
#include "extract/entryinflater.h"
#include "extract/filenames.h"
#include "extract/installroot.h"
#include "extract/stagedinstall.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <memory>
#include <optional>

namespace {

// Most names fit; a longer one is read again in full rather than cut.
constexpr uLong nameBufferSize = 256;

// "Version made by" host of archives made on Unix: only they carry a file mode.
constexpr uLong unixHost = 3;
constexpr quint32 fileTypeMask = 0170000;
constexpr quint32 symlinkType = 0120000;

// The open archive, closed whichever way the walk ends.
struct ArchiveCloser
{
    void operator()(unzFile zipFile) const { unzClose(zipFile); }
};
using OpenArchive = std::unique_ptr<void, ArchiveCloser>;

// The current entry opened raw, closed on every return. minizip checks its local header against
// the central one on opening and then only tells where the data starts: the data is read and
// inflated by EntryInflater, which checks it as well.
class OpenEntry
{
public:
    explicit OpenEntry(unzFile zipFile)
        : m_zipFile(zipFile), m_open(unzOpenCurrentFile2(zipFile, &m_method, &m_level, 1) == UNZ_OK)
    {
    }
    ~OpenEntry()
    {
        if (m_open)
            unzCloseCurrentFile(m_zipFile);
    }
    OpenEntry(const OpenEntry &) = delete;
    OpenEntry &operator=(const OpenEntry &) = delete;

    bool isOpen() const { return m_open; }
    int method() const { return m_method; }
    qint64 dataOffset() const { return qint64(unzGetCurrentFileZStreamPos64(m_zipFile)); }

private:
    unzFile m_zipFile;
    int m_method = 0;
    int m_level = 0;
    bool m_open;
};

// What the steps of one entry's extraction read about it.
struct EntryInfo
{
    unz_file_info64 info;
    QByteArray rawName;
    QString name;
};

// Logs why FileNames refuses a name; minizip hands names over as stored.
bool acceptEntryName(const QString &name, FileNames::EntryVerdict verdict)
{
    if (verdict == FileNames::EntryVerdict::OutsideRoot) {
        qDebug() << "Refusing entry outside the install folder:" << name;
        return false;
    }
    if (verdict == FileNames::EntryVerdict::Unsafe) {
        qDebug() << "Refusing entry with an unsafe name:" << name;
        return false;
    }
    return true;
}

// The Unix mode of an entry, or 0 when the archive was not made on Unix.
quint32 unixMode(const unz_file_info64 &info)
{
    if ((info.version >> 8) != unixHost)
        return 0;
    return quint32(info.external_fa >> 16);
}

bool isSymlink(quint32 mode)
{
    return (mode & fileTypeMask) == symlinkType;
}

// The permissions of a file with the given Unix mode, the owner keeping read and write so the
// next update can rewrite the file. On Windows Qt turns this into the read-only attribute alone,
// which the owner's write bit keeps off: the mapping then changes nothing.
QFileDevice::Permissions withOwnerReadWrite(quint32 mode)
{
    using P = QFileDevice;
    const std::pair<quint32, QFileDevice::Permissions> bits[] = {
        {0400, P::ReadOwner | P::ReadUser},
        {0200, P::WriteOwner | P::WriteUser},
        {0100, P::ExeOwner | P::ExeUser},
        {040, P::ReadGroup},
        {020, P::WriteGroup},
        {010, P::ExeGroup},
        {04, P::ReadOther},
        {02, P::WriteOther},
        {01, P::ExeOther},
    };
    mode |= 0600;
    QFileDevice::Permissions permissions;
    for (const auto &[bit, permission] : bits) {
        if (mode & bit)
            permissions |= permission;
    }
    return permissions;
}

// Reads the current entry's header and its whole name, however long. The name is text up to its
// first NUL, whatever the header's length says.
bool readEntry(unzFile zipFile, EntryInfo &entry)
{
    char nameBuffer[nameBufferSize];
    if (unzGetCurrentFileInfo64(zipFile, &entry.info, nameBuffer, nameBufferSize, nullptr, 0,
                                nullptr, 0)
        != UNZ_OK) {
        qDebug() << "Failed to get file info.";
        return false;
    }
    if (entry.info.size_filename <= nameBufferSize) {
        entry.rawName = QByteArray(nameBuffer, qsizetype(entry.info.size_filename));
    } else {
        entry.rawName.resize(qsizetype(entry.info.size_filename));
        if (unzGetCurrentFileInfo64(zipFile, nullptr, entry.rawName.data(),
                                    entry.info.size_filename, nullptr, 0, nullptr, 0)
            != UNZ_OK) {
            qDebug() << "Failed to get file info.";
            return false;
        }
    }
    const qsizetype nul = entry.rawName.indexOf('\0');
    if (nul >= 0)
        entry.rawName.truncate(nul);
    entry.name = QString::fromUtf8(entry.rawName);
    return true;
}

// Writes the entry's data into the file at stagedPath and gives the file the entry's mode. The
// log names the file where it will be installed.
bool copyData(unzFile zipFile, ArchiveReader &archive, EntryInflater &inflater,
              const EntryInfo &entry, const QString &stagedPath, const QString &targetPath)
{
    // Encrypted entries and methods other than stored and deflated cannot be read: refused
    // before anything is written.
    OpenEntry data(zipFile);
    if (!data.isOpen() || (entry.info.flag & 1) != 0
        || (data.method() != 0 && data.method() != Z_DEFLATED)) {
        qDebug() << "Failed to open file from zip:" << entry.rawName.constData();
        return false;
    }
    // Unbuffered, so a failing write (a full disk) shows in write()'s count rather than
    // vanishing in a flush at close.
    QFile outFile(stagedPath);
    if (!outFile.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qDebug() << "Failed to open output file for writing:" << targetPath;
        return false;
    }

    const EntryInflater::Result result = inflater.inflate(archive, data.dataOffset(), entry.info,
                                                          data.method(), outFile);
    if (result == EntryInflater::WriteFailed) {
        qDebug() << "Error writing to file. Bytes written:" << inflater.failedWriteCount()
                 << "Expected:" << inflater.failedWriteSize();
        return false;
    }
    if (result == EntryInflater::ReadFailed) {
        qDebug() << "Error reading file from zip:" << entry.rawName.constData();
        return false;
    }

    // A link's mode is no file mode: its file gets the permissions of any new file.
    const quint32 mode = unixMode(entry.info);
    if (!isSymlink(mode) && (mode & 0777) != 0 && !outFile.setPermissions(withOwnerReadWrite(mode)))
        qDebug() << "Failed to set permissions of" << targetPath;
    outFile.close();

    if (result == EntryInflater::ChecksumMismatch) {
        qDebug() << "Checksum mismatch in file from zip:" << entry.name;
        return false;
    }
    if (result == EntryInflater::Incomplete) {
        qDebug() << "Incomplete data of file from zip:" << entry.name;
        return false;
    }
    qDebug() << "File extracted successfully. Total bytes written:" << inflater.written();
    return true;
}

// Every level from folder up to the root is a folder or missing.
bool installedFoldersFit(const QString &root, const QString &folder)
{
    for (QString level = QDir::cleanPath(folder); level.size() > root.size();
         level = QFileInfo(level).path()) {
        const QFileInfo info(level);
        if ((info.exists() || info.isSymLink()) && !info.isDir())
            return false;
    }
    return true;
}

// The uncompressed size of every entry, as the central directory tells it.
qint64 totalSize(unzFile zipFile)
{
    qint64 total = 0;
    unz_file_info64 info;
    for (int at = unzGoToFirstFile(zipFile); at == UNZ_OK; at = unzGoToNextFile(zipFile)) {
        if (unzGetCurrentFileInfo64(zipFile, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK)
            total += qint64(qMin<quint64>(info.uncompressed_size, 1ull << 40));
    }
    unzGoToFirstFile(zipFile);
    return total;
}

// Passes the bytes written on, once per hundredth of the total or 100 ms, whichever comes first:
// painting the bar costs more than inflating a piece.
class ProgressReport
{
public:
    ProgressReport(const ZipExtractor::Progress &progress, qint64 total)
        : m_progress(progress), m_total(total), m_step(qMax<qint64>(total / 100, 1))
    {
        m_clock.start();
    }
    void advance(qint64 bytes)
    {
        m_done += bytes;
        if (!m_progress || (m_done - m_reported < m_step && m_clock.elapsed() < 100))
            return;
        m_reported = m_done;
        m_clock.restart();
        m_progress(InstallPhase::Extracting, qMin(m_done, m_total), m_total);
    }
    // The whole archive done, whatever its headers promised.
    void finish()
    {
        if (m_progress && m_reported < m_total)
            m_progress(InstallPhase::Extracting, m_total, m_total);
    }

private:
    const ZipExtractor::Progress &m_progress;
    QElapsedTimer m_clock;
    qint64 m_total;
    qint64 m_step;
    qint64 m_done = 0;
    qint64 m_reported = 0;
};

} // namespace

ExtractionResult ZipExtractor::extractZip(const QString &zipFilePath, const CommitRecord &record,
                                          const Progress &progress)
{
    const QString root = installRoot();
    if (root.isEmpty()) {
        qDebug() << "Failed to get AppData/Local path.";
        return {ExtractionResult::Failed, QFileInfo(zipFilePath).fileName()};
    }
    return extractInto(zipFilePath, root, record, progress);
}

ExtractionResult ZipExtractor::extractInto(const QString &zipFilePath, const QString &root,
                                           const CommitRecord &record, const Progress &progress)
{
    qDebug() << "Extracting to AppData/Local at:" << root;
    ExtractionResult failure{ExtractionResult::Failed, QFileInfo(zipFilePath).fileName()};

    // Declared before the archive, so it outlives the handle that reads through it.
    ArchiveReader reader(zipFilePath);
    zlib_filefunc64_def fileFunctions = reader.fileFunctions();
    const OpenArchive zipFile(unzOpen2_64(zipFilePath.toUtf8().constData(), &fileFunctions));
    if (!zipFile) {
        qDebug() << "Failed to open zip file:" << zipFilePath;
        return failure;
    }
    if (unzGoToFirstFile(zipFile.get()) != UNZ_OK) {
        qDebug() << "Failed to go to first file in zip.";
        return failure;
    }
    // The old version, the archive and the new copy are all on disk at once.
    const qint64 needed = totalSize(zipFile.get());
    if (const std::optional<QString> shortfall = DiskSpace::shortfall(root, needed)) {
        qDebug() << "Not enough disk space:" << *shortfall;
        return {ExtractionResult::NoSpace, *shortfall};
    }
    ProgressReport report(progress, needed);
    // Its buffers serve every entry in turn.
    EntryInflater inflater;
    if (progress)
        inflater.setProgress([&report](qint64 bytes) { report.advance(bytes); });
    StagedInstall install(root, [&progress](qint64 done, qint64 total) {
        if (progress)
            progress(InstallPhase::Moving, done, total);
    });
    if (!install.unresolved().isEmpty()) {
        qDebug() << "Failed to restore the earlier version:" << root + "/" + install.unresolved();
        return {ExtractionResult::RestoreFailed, QDir::toNativeSeparators(install.unresolved())};
    }
    int next = UNZ_OK;
    do {
        if (!extractCurrentFile(zipFile.get(), reader, inflater, install, failure.detail)) {
            qDebug() << "Failed to extract one or more files.";
            return failure;
        }
        next = unzGoToNextFile(zipFile.get());
    } while (next == UNZ_OK);
    // Only the end of the list ends the walk: a damaged record before it would otherwise pass
    // for the end, and an incomplete install for a complete one.
    if (next != UNZ_END_OF_LIST_OF_FILE) {
        qDebug() << "Failed to go to next file in zip.";
        return {ExtractionResult::Failed, QFileInfo(zipFilePath).fileName()};
    }
    report.finish();
    const StagedInstall::Result committed = install.commit(record);
    switch (committed.outcome) {
    case StagedInstall::Outcome::Installed:
        qDebug() << "ZIP extraction completed!";
        return {ExtractionResult::Extracted, {}};
    case StagedInstall::Outcome::NotMoved:
        qDebug() << "Failed to replace file in use:" << root + "/" + committed.detail;
        qDebug() << "Failed to extract one or more files.";
        return {ExtractionResult::FileInUse, QDir::toNativeSeparators(committed.detail)};
    case StagedInstall::Outcome::RecordUnwritable:
        return {ExtractionResult::RecordUnwritable, committed.detail};
    case StagedInstall::Outcome::RestoreFailed:
        qDebug() << "Failed to restore the earlier version:" << root + "/" + committed.detail;
        return {ExtractionResult::RestoreFailed, QDir::toNativeSeparators(committed.detail)};
    case StagedInstall::Outcome::JournalUnwritable:
    case StagedInstall::Outcome::Stopped:
        break;
    }
    qDebug() << "Failed to extract one or more files.";
    return {ExtractionResult::Failed, committed.detail};
}

bool ZipExtractor::extractCurrentFile(unzFile zipFile, ArchiveReader &archive,
                                      EntryInflater &inflater, StagedInstall &install,
                                      QString &failedEntry)
{
    EntryInfo entry;
    if (!readEntry(zipFile, entry))
        return false;
    failedEntry = entry.name;
    const FileNames::EntryVerdict verdict = FileNames::entryVerdict(entry.name);
    if (verdict == FileNames::EntryVerdict::Skip) {
        qDebug() << "Skipping file:" << entry.name;
        return true;
    }
    if (!acceptEntryName(entry.name, verdict))
        return false;
    if (!install.claim(entry.name)) {
        qDebug() << "Refusing entry that differs only in letter case from another:" << entry.name;
        return false;
    }
    // Only folders and files are installed: a link becomes a file holding its target, as Git
    // writes links where it makes none. No link on disk, so no later entry can go through one.
    if (isSymlink(unixMode(entry.info)))
        qDebug() << "Writing symbolic link entry as a file:" << entry.name;

    const QString targetPath = install.root() + "/" + entry.name;
    const QString stagedPath = install.stagedPath(entry.name);
    qDebug() << "Extracting to:" << targetPath;
    // The installed tree must take the entry too: a file where it needs a folder fails it here,
    // before anything is moved.
    if (!installedFoldersFit(install.root(), QFileInfo(targetPath).path())
        || !QDir().mkpath(QFileInfo(stagedPath).path())) {
        qDebug() << "Failed to create directory for" << targetPath;
        return false;
    }
    // A name that ends in a separator, or that is empty (its first byte NUL): a folder.
    const bool isFolderEntry = entry.name.isEmpty() || entry.name.endsWith(u'/')
                               || entry.name.endsWith(u'\\');
    if (isFolderEntry) {
        install.add(entry.name, true);
        return true;
    }
    // A file where a folder is, staged or installed: never passed over as done.
    if (QFileInfo(stagedPath).isDir() || QFileInfo(targetPath).isDir()) {
        qDebug() << "Failed to open output file for writing:" << targetPath;
        return false;
    }
    if (!copyData(zipFile, archive, inflater, entry, stagedPath, targetPath))
        return false;
    install.add(entry.name, false);
    return true;
}
