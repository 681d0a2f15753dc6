#include "extract/zipextractor.h"

#include "extract/archivereader.h"
#include "extract/entryinflater.h"
#include "extract/filenames.h"
#include "extract/installroot.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <memory>

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

// minizip hands names over as stored, so the checks against leaving the root are ours.
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

// Writes the entry's data into the file at targetPath and gives the file the entry's mode.
bool copyData(unzFile zipFile, ArchiveReader &archive, EntryInflater &inflater,
              const EntryInfo &entry, const QString &targetPath)
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
    QFile outFile(targetPath);
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

} // namespace

bool ZipExtractor::extractZip(const QString &zipFilePath)
{
    const QString root = installRoot();
    if (root.isEmpty()) {
        qDebug() << "Failed to get AppData/Local path.";
        return false;
    }
    qDebug() << "Extracting to AppData/Local at:" << root;

    // Declared before the archive, so it outlives the handle that reads through it.
    ArchiveReader reader(zipFilePath);
    zlib_filefunc64_def fileFunctions = reader.fileFunctions();
    const OpenArchive zipFile(unzOpen2_64(zipFilePath.toUtf8().constData(), &fileFunctions));
    if (!zipFile) {
        qDebug() << "Failed to open zip file:" << zipFilePath;
        return false;
    }
    if (unzGoToFirstFile(zipFile.get()) != UNZ_OK) {
        qDebug() << "Failed to go to first file in zip.";
        return false;
    }
    // Its buffers serve every entry in turn.
    EntryInflater inflater;
    int next = UNZ_OK;
    do {
        if (!extractCurrentFile(zipFile.get(), reader, inflater, root)) {
            qDebug() << "Failed to extract one or more files.";
            return false;
        }
        next = unzGoToNextFile(zipFile.get());
    } while (next == UNZ_OK);
    // Only the end of the list ends the walk: a damaged record before it would otherwise pass
    // for the end, and an incomplete install for a complete one.
    if (next != UNZ_END_OF_LIST_OF_FILE) {
        qDebug() << "Failed to go to next file in zip.";
        return false;
    }
    qDebug() << "ZIP extraction completed!";
    return true;
}

bool ZipExtractor::extractCurrentFile(unzFile zipFile, ArchiveReader &archive,
                                      EntryInflater &inflater, const QString &root)
{
    EntryInfo entry;
    if (!readEntry(zipFile, entry))
        return false;
    const FileNames::EntryVerdict verdict = FileNames::entryVerdict(entry.name);
    if (verdict == FileNames::EntryVerdict::Skip) {
        qDebug() << "Skipping file:" << entry.name;
        return true;
    }
    if (!acceptEntryName(entry.name, verdict))
        return false;
    // Only folders and files are installed: a link becomes a file holding its target, as Git
    // writes links where it makes none. No link on disk, so no later entry can go through one.
    if (isSymlink(unixMode(entry.info)))
        qDebug() << "Writing symbolic link entry as a file:" << entry.name;

    const QString targetPath = root + "/" + entry.name;
    qDebug() << "Extracting to:" << targetPath;
    if (!QDir().mkpath(QFileInfo(targetPath).path())) {
        qDebug() << "Failed to create directory for" << targetPath;
        return false;
    }
    if (QFileInfo(targetPath).isDir())
        return true;
    return copyData(zipFile, archive, inflater, entry, targetPath);
}
