#include "extract/zipextractor.h"

#include "extract/archivereader.h"
#include "extract/diskspace.h"
#include "extract/entryinflater.h"
#include "extract/filenames.h"
#include "extract/installroot.h"
#include "extract/rangedarchive.h"
#include "extract/stagedinstall.h"
#include "extract/zipformat.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

// Where an entry lies in the archive file and how large it is, from its central record read with
// its ZIP64 extra field. Debian's minizip never takes that field on 64-bit Linux: it looks for
// the record's 0xFFFFFFFF as (unsigned long)-1, which a 64-bit long makes 2^64-1.
struct EntryPlace
{
    QByteArray name; // as stored, up to its first NUL when shown
    qint64 localHeader = 0;
    quint64 compressed = 0;
    quint64 uncompressed = 0;
    qint64 dataLimit = 0; // where the next entry or the central directory begins
};

namespace {

using namespace ZipFormat;

// Most names fit; a longer one is read again in full rather than cut.
constexpr uLong nameBufferSize = 256;

constexpr quint32 fileTypeMask = 0170000;
constexpr quint32 symlinkType = 0120000;

// The open archive, closed whichever way the walk ends.
struct ArchiveCloser
{
    void operator()(unzFile zipFile) const { unzClose(zipFile); }
};
using OpenArchive = std::unique_ptr<void, ArchiveCloser>;

// What the steps of one entry's extraction read about it.
struct EntryInfo
{
    const EntryPlace &place;
    unz_file_info64 info{};
    QByteArray rawName{};
    QString name{};
};

// The archive's entries in the order of its central directory.
struct Directory
{
    QList<EntryPlace> places;
    qint64 start = 0; // the central directory's place in the file
};

enum class DirectoryRead { Read, NoFirst, BadRecord, BadNext };

// Whether length bytes from from end by limit.
bool fits(qint64 from, quint64 length, qint64 limit)
{
    return from <= limit && length <= quint64(limit - from);
}

// Takes the values the record gives as 0xFFFFFFFF (uncompressed size, compressed size, local
// header offset) from the ZIP64 extra field, which holds 8 bytes for each of them, in that order,
// and for no other. Go writes all three whatever the record gives: the needed ones still come
// first. A field cut short leaves the record's values.
void takeZip64(const char *extra, qsizetype size, quint64 (&values)[3])
{
    for (qsizetype at = 0; at + 4 <= size;) {
        const qsizetype end = at + 4 + le16(extra + at + 2);
        if (end > size)
            return;
        if (le16(extra + at) == zip64Tag) {
            qsizetype next = at + 4;
            for (quint64 &value : values) {
                if (value != zip64Marker)
                    continue;
                if (next + 8 > end)
                    return;
                value = le64(extra + next);
                next += 8;
            }
            return;
        }
        at = end;
    }
}

// Reads the central record at the given place in the file; archiveStart is where the archive
// begins, behind whatever comes before it.
bool readCentralRecord(ArchiveSource &archive, qint64 at, qint64 archiveStart, EntryPlace &place)
{
    char fixed[centralRecordSize];
    if (!archive.readRecord(at, fixed, centralRecordSize) || le32(fixed) != centralSignature)
        return false;
    const qsizetype nameSize = le16(fixed + 28);
    QByteArray rest(nameSize + le16(fixed + 30), Qt::Uninitialized);
    if (!archive.readRecord(at + centralRecordSize, rest.data(), rest.size()))
        return false;
    quint64 values[3] = {le32(fixed + 24), le32(fixed + 20), le32(fixed + 42)};
    takeZip64(rest.constData() + nameSize, rest.size() - nameSize, values);
    if (!fits(0, values[2], std::numeric_limits<qint64>::max() - archiveStart))
        return false;
    place.name = rest.left(nameSize);
    place.uncompressed = values[0];
    place.compressed = values[1];
    place.localHeader = archiveStart + qint64(values[2]);
    return true;
}

// Walks the central directory with minizip, reading each record once more for what minizip
// leaves out. Logs nothing, so that a look at the size stays quiet.
DirectoryRead readDirectory(unzFile zipFile, ArchiveSource &archive, Directory &directory)
{
    int at = unzGoToFirstFile(zipFile);
    if (at != UNZ_OK)
        return DirectoryRead::NoFirst;
    // minizip's offsets start with the archive; the first record is where it just went.
    directory.start = archive.lastSeekTarget();
    const qint64 archiveStart = directory.start - qint64(unzGetOffset64(zipFile));
    for (; at == UNZ_OK; at = unzGoToNextFile(zipFile)) {
        EntryPlace place;
        if (archiveStart < 0
            || !readCentralRecord(archive, archiveStart + qint64(unzGetOffset64(zipFile)),
                                  archiveStart, place))
            return DirectoryRead::BadRecord;
        directory.places.append(place);
    }
    return at == UNZ_END_OF_LIST_OF_FILE ? DirectoryRead::Read : DirectoryRead::BadNext;
}

// The uncompressed size of the entries that wanted holds true for (null: of all of them).
qint64 sizeOf(const QList<EntryPlace> &places, const QList<bool> *wanted)
{
    quint64 total = 0;
    for (qsizetype i = 0; i < places.size(); ++i) {
        if (!wanted || wanted->at(i))
            total = qMin<quint64>(total + qMin<quint64>(places.at(i).uncompressed, 1ull << 62),
                                  std::numeric_limits<qint64>::max());
    }
    return qint64(total);
}

// Entries that share bytes are how zip bombs make a small archive unpack to a huge one. Sorted by
// place, each entry's header and data must end before the next entry or the central directory
// begins; its data limit is set to that. Only the local header tells the size of its own extra
// field: left out here, the extraction checks the data's true end against the limit. Gives the
// entry that runs into another, or nullptr.
const EntryPlace *markLimits(Directory &directory)
{
    QList<EntryPlace *> sorted;
    for (EntryPlace &place : directory.places)
        sorted.append(&place);
    std::stable_sort(sorted.begin(), sorted.end(), [](const EntryPlace *a, const EntryPlace *b) {
        return a->localHeader < b->localHeader;
    });
    for (qsizetype i = 0; i < sorted.size(); ++i) {
        EntryPlace &place = *sorted.at(i);
        place.dataLimit = i + 1 < sorted.size() ? sorted.at(i + 1)->localHeader
                                                : std::numeric_limits<qint64>::max();
        if (place.localHeader < directory.start)
            place.dataLimit = qMin(place.dataLimit, directory.start);
        const qint64 header = localHeaderSize + place.name.size();
        if (!fits(place.localHeader, quint64(header), place.dataLimit)
            || !fits(place.localHeader + header, place.compressed, place.dataLimit))
            return &place;
    }
    return nullptr;
}

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
    entry.info.compressed_size = entry.place.compressed;
    entry.info.uncompressed_size = entry.place.uncompressed;
    return true;
}

// Reads the entry's local header and checks it against the central record as minizip does when
// it opens an entry (which would seek to a ZIP64 offset's 0xFFFFFFFF); gives where the data
// starts, or -1.
qint64 dataOffset(ArchiveSource &archive, const EntryInfo &entry)
{
    char header[localHeaderSize];
    if (!archive.readRaw(entry.place.localHeader, header, localHeaderSize)
        || le32(header) != localSignature || le16(header + 8) != entry.info.compression_method
        || le16(header + 26) != entry.info.size_filename)
        return -1;
    // A writer that streams gives CRC and sizes after the data; a ZIP64 one its sizes as
    // 0xFFFFFFFF, with the values in the header's extra field.
    const quint32 packed = le32(header + 18), size = le32(header + 22);
    if ((le16(header + 6) & dataDescriptorFlag) == 0
        && (le32(header + 14) != quint32(entry.info.crc)
            || (packed != zip64Marker && packed != entry.info.compressed_size)
            || (size != zip64Marker && size != entry.info.uncompressed_size)))
        return -1;
    return entry.place.localHeader + localHeaderSize + le16(header + 26) + le16(header + 28);
}

// Writes the entry's data into the file at stagedPath and gives the file the entry's mode. The
// log names the file where it will be installed.
ExtractionResult::Status copyData(ArchiveSource &archive, EntryInflater &inflater,
                                  const EntryInfo &entry, const QString &stagedPath,
                                  const QString &targetPath)
{
    // Encrypted entries and methods other than stored and deflated cannot be read: refused
    // before anything is written.
    const int method = int(entry.info.compression_method);
    const qint64 offset = dataOffset(archive, entry);
    if (offset < 0 || (entry.info.flag & 1) != 0 || (method != 0 && method != Z_DEFLATED)) {
        qDebug() << "Failed to open file from zip:" << entry.rawName.constData();
        return ExtractionResult::Damaged;
    }
    if (!fits(offset, entry.info.compressed_size, entry.place.dataLimit)) {
        qDebug() << "Refusing overlapping entries in zip:" << entry.name;
        return ExtractionResult::Damaged;
    }
    // Unbuffered, so a failing write (a full disk) shows in write()'s count rather than
    // vanishing in a flush at close.
    QFile outFile(stagedPath);
    if (!outFile.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qDebug() << "Failed to open output file for writing:" << targetPath;
        return ExtractionResult::WriteFailed;
    }

    const EntryInflater::Result result = inflater.inflate(archive, offset, entry.info, method,
                                                          outFile);
    if (result == EntryInflater::WriteFailed) {
        qDebug() << "Error writing to file. Bytes written:" << inflater.failedWriteCount()
                 << "Expected:" << inflater.failedWriteSize();
        return ExtractionResult::WriteFailed;
    }
    if (result == EntryInflater::ReadFailed) {
        qDebug() << "Error reading file from zip:" << entry.rawName.constData();
        return ExtractionResult::Damaged;
    }

    // A link's mode is no file mode: its file gets the permissions of any new file.
    const quint32 mode = unixMode(entry.info);
    if (!isSymlink(mode) && (mode & 0777) != 0 && !outFile.setPermissions(withOwnerReadWrite(mode)))
        qDebug() << "Failed to set permissions of" << targetPath;
    outFile.close();

    if (result == EntryInflater::ChecksumMismatch) {
        qDebug() << "Checksum mismatch in file from zip:" << entry.name;
        return ExtractionResult::Damaged;
    }
    if (result == EntryInflater::Incomplete) {
        qDebug() << "Incomplete data of file from zip:" << entry.name;
        return ExtractionResult::Damaged;
    }
    qDebug() << "File extracted successfully. Total bytes written:" << inflater.written();
    return ExtractionResult::Extracted;
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

// Opens the archive with minizip reading through source.
OpenArchive openArchive(ArchiveSource &source)
{
    zlib_filefunc64_def fileFunctions = source.fileFunctions();
    return OpenArchive(unzOpen2_64(source.path().toUtf8().constData(), &fileFunctions));
}

} // namespace

qint64 ZipExtractor::entriesSize(const QString &zipFilePath)
{
    ArchiveReader reader(zipFilePath);
    const OpenArchive zipFile = openArchive(reader);
    Directory directory;
    return zipFile && readDirectory(zipFile.get(), reader, directory) == DirectoryRead::Read
               ? sizeOf(directory.places, nullptr)
               : -1;
}

ExtractionResult ZipExtractor::extractZip(const QString &zipFilePath, const CommitRecord &record,
                                          const Progress &progress)
{
    const QString root = installRoot();
    if (root.isEmpty()) {
        qDebug() << "Failed to get AppData/Local path.";
        return {ExtractionResult::WriteFailed, QFileInfo(zipFilePath).fileName()};
    }
    return extractInto(zipFilePath, root, record, progress);
}

ExtractionResult ZipExtractor::extractInto(const QString &zipFilePath, const QString &root,
                                           const CommitRecord &record, const Progress &progress)
{
    ArchiveReader reader(zipFilePath);
    return install(reader, nullptr, root, record, progress);
}

ExtractionResult ZipExtractor::extractFetched(RangedArchive &archive, const QList<bool> &wanted,
                                              const QString &root, const CommitRecord &record,
                                              const Progress &progress)
{
    return install(archive, &wanted, root, record, progress);
}

ExtractionResult ZipExtractor::install(ArchiveSource &source, const QList<bool> *wanted,
                                       const QString &root, const CommitRecord &record,
                                       const Progress &progress)
{
    qDebug() << "Extracting to AppData/Local at:" << root;
    const QString zipFilePath = source.path();
    const ExtractionResult damaged{ExtractionResult::Damaged, QFileInfo(zipFilePath).fileName()};

    // The source outlives the handle that reads through it.
    const OpenArchive zipFile = openArchive(source);
    if (!zipFile) {
        qDebug() << "Failed to open zip file:" << zipFilePath;
        if (!QFileInfo::exists(zipFilePath))
            return {ExtractionResult::Missing, damaged.detail};
        return damaged;
    }
    // The whole directory is read and checked before anything is written. Only the end of the
    // list ends the walk: a damaged record before it would otherwise pass for the end, and an
    // incomplete install for a complete one.
    Directory directory;
    switch (readDirectory(zipFile.get(), source, directory)) {
    case DirectoryRead::NoFirst:
        qDebug() << "Failed to go to first file in zip.";
        return damaged;
    case DirectoryRead::BadRecord:
        qDebug() << "Failed to get file info.";
        return damaged;
    case DirectoryRead::BadNext:
        qDebug() << "Failed to go to next file in zip.";
        return damaged;
    case DirectoryRead::Read:
        break;
    }
    if (wanted && wanted->size() != directory.places.size()) {
        qDebug() << "Fetched entries do not match the zip's" << directory.places.size()
                 << "entries:" << wanted->size();
        return damaged;
    }
    if (const EntryPlace *overlapping = markLimits(directory)) {
        const QString name = QString::fromUtf8(overlapping->name.constData());
        qDebug() << "Refusing overlapping entries in zip:" << name;
        return {ExtractionResult::Damaged, name};
    }
    // The old version, the archive and the new copy are all on disk at once.
    const qint64 needed = sizeOf(directory.places, wanted);
    if (const std::optional<QString> shortfall = DiskSpace::shortfall(root, needed)) {
        qDebug() << "Not enough disk space:" << *shortfall;
        return {ExtractionResult::NoSpace, *shortfall};
    }
    ProgressReport report(progress, needed);
    // Its buffers serve every entry in turn.
    EntryInflater inflater;
    if (progress)
        inflater.setProgress([&report](qint64 bytes) { report.advance(bytes); });
    StagedInstall staged(root, [&progress](qint64 done, qint64 total) {
        if (progress)
            progress(InstallPhase::Moving, done, total);
    });
    if (!staged.unresolved().isEmpty()) {
        qDebug() << "Failed to restore the earlier version:" << root + "/" + staged.unresolved();
        return {ExtractionResult::RestoreFailed, QDir::toNativeSeparators(staged.unresolved())};
    }
    int at = unzGoToFirstFile(zipFile.get());
    for (qsizetype i = 0; i < directory.places.size(); ++i, at = unzGoToNextFile(zipFile.get())) {
        if (at != UNZ_OK) { // read a moment ago
            qDebug() << "Failed to go to next file in zip.";
            return damaged;
        }
        // An entry not wanted is left as it is on disk, none of its bytes read; its name still
        // counts, so that a wanted one differing only in letter case is refused as it would be
        // by the whole archive's install.
        if (wanted && !wanted->at(i)) {
            const QString name = QString::fromUtf8(directory.places.at(i).name.constData());
            if (!staged.claim(name)) {
                qDebug() << "Refusing entry that differs only in letter case from another:" << name;
                return {ExtractionResult::Damaged, name};
            }
            continue;
        }
        const ExtractionResult result = extractCurrentFile(zipFile.get(), source, inflater, staged,
                                                           directory.places.at(i));
        if (!result.ok()) {
            qDebug() << "Failed to extract one or more files.";
            return result;
        }
    }
    report.finish();
    const StagedInstall::Result committed = staged.commit(record);
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
    return {ExtractionResult::WriteFailed, committed.detail};
}

ExtractionResult ZipExtractor::extractCurrentFile(unzFile zipFile, ArchiveSource &archive,
                                                  EntryInflater &inflater, StagedInstall &install,
                                                  const EntryPlace &place)
{
    EntryInfo entry{place};
    if (!readEntry(zipFile, entry))
        return {ExtractionResult::Damaged, QString::fromUtf8(place.name.constData())};
    const ExtractionResult damaged{ExtractionResult::Damaged, entry.name};
    const ExtractionResult unwritten{ExtractionResult::WriteFailed, entry.name};
    const FileNames::EntryVerdict verdict = FileNames::entryVerdict(entry.name);
    if (verdict == FileNames::EntryVerdict::Skip) {
        qDebug() << "Skipping file:" << entry.name;
        return {ExtractionResult::Extracted, {}};
    }
    if (!acceptEntryName(entry.name, verdict))
        return damaged;
    if (!install.claim(entry.name)) {
        qDebug() << "Refusing entry that differs only in letter case from another:" << entry.name;
        return damaged;
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
        return unwritten;
    }
    // A name that ends in a separator, or that is empty (its first byte NUL): a folder.
    const bool isFolderEntry = entry.name.isEmpty() || entry.name.endsWith(u'/')
                               || entry.name.endsWith(u'\\');
    if (isFolderEntry) {
        install.add(entry.name, true);
        return {ExtractionResult::Extracted, {}};
    }
    // A file where a folder is, staged or installed: never passed over as done.
    if (QFileInfo(stagedPath).isDir() || QFileInfo(targetPath).isDir()) {
        qDebug() << "Failed to open output file for writing:" << targetPath;
        return unwritten;
    }
    const ExtractionResult::Status status = copyData(archive, inflater, entry, stagedPath,
                                                     targetPath);
    if (status != ExtractionResult::Extracted)
        return {status, entry.name};
    install.add(entry.name, false);
    return {ExtractionResult::Extracted, {}};
}
