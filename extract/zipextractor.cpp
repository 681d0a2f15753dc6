#include "extract/zipextractor.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstring>

namespace {

// Most names fit; a longer one is read again in full rather than cut.
constexpr uLong NameBufferSize = 256;
// Each entry's data streams through this buffer; small enough to stay in the CPU cache between
// inflating and writing.
constexpr unsigned CopyBufferSize = 64 * 1024;
// The archive is read in chunks of this size: minizip's own stdio access seeks and reads in
// 16 KiB steps, two system calls each time.
constexpr qint64 ReadChunkSize = 256 * 1024;

// "Version made by" host of archives made on Unix: only they carry a file mode.
constexpr uLong UnixHost = 3;
constexpr quint32 FileTypeMask = 0170000;
constexpr quint32 SymlinkType = 0120000;

bool isAsciiLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// A component that may name the parent folder: Windows drops trailing dots and blanks from a
// component, so ".. " or "... " are no safer than "..".
bool isParentReference(QStringView part)
{
    if (part.count(u'.') < 2)
        return false;
    for (const QChar c : part) {
        if (c != u'.' && c != u' ')
            return false;
    }
    return true;
}

// A name that is absolute or climbs out of the root. Windows reads "\" as a separator too, so
// both are checked wherever the launcher runs.
bool escapesRoot(const QString &name)
{
    if (name.startsWith(u'/') || name.startsWith(u'\\'))
        return true;
    if (name.size() >= 2 && isAsciiLetter(name.at(0)) && name.at(1) == u':')
        return true;
    qsizetype start = 0;
    while (start <= name.size()) {
        qsizetype end = start;
        while (end < name.size() && name.at(end) != u'/' && name.at(end) != u'\\')
            ++end;
        if (isParentReference(QStringView(name).mid(start, end - start)))
            return true;
        start = end + 1;
    }
    return false;
}

// The Unix mode of an entry, or 0 when the archive was not made on Unix.
quint32 unixMode(const unz_file_info64 &info)
{
    if ((info.version >> 8) != UnixHost)
        return 0;
    return quint32(info.external_fa >> 16);
}

QFileDevice::Permissions permissionsFromMode(quint32 mode)
{
    // The owner keeps read and write, so the next update can rewrite the file.
    mode |= 0600;
    QFileDevice::Permissions permissions;
    if (mode & 0400)
        permissions |= QFileDevice::ReadOwner | QFileDevice::ReadUser;
    if (mode & 0200)
        permissions |= QFileDevice::WriteOwner | QFileDevice::WriteUser;
    if (mode & 0100)
        permissions |= QFileDevice::ExeOwner | QFileDevice::ExeUser;
    if (mode & 040)
        permissions |= QFileDevice::ReadGroup;
    if (mode & 020)
        permissions |= QFileDevice::WriteGroup;
    if (mode & 010)
        permissions |= QFileDevice::ExeGroup;
    if (mode & 04)
        permissions |= QFileDevice::ReadOther;
    if (mode & 02)
        permissions |= QFileDevice::WriteOther;
    if (mode & 01)
        permissions |= QFileDevice::ExeOther;
    return permissions;
}

// Buffered read access to the archive for minizip. Lives on extractZip's stack; minizip reaches
// it through the opaque pointer of its file functions.
class ArchiveReader
{
public:
    explicit ArchiveReader(const QString &path) : m_file(path) {}

    zlib_filefunc64_def fileFunctions()
    {
        zlib_filefunc64_def functions;
        functions.zopen64_file = &ArchiveReader::open;
        functions.zread_file = &ArchiveReader::read;
        functions.zwrite_file = &ArchiveReader::write;
        functions.ztell64_file = &ArchiveReader::tell;
        functions.zseek64_file = &ArchiveReader::seek;
        functions.zclose_file = &ArchiveReader::close;
        functions.zerror_file = &ArchiveReader::error;
        functions.opaque = this;
        return functions;
    }

private:
    static ArchiveReader *self(voidpf opaque) { return static_cast<ArchiveReader *>(opaque); }

    static voidpf ZCALLBACK open(voidpf opaque, const void *, int mode)
    {
        ArchiveReader *reader = self(opaque);
        if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ
            || !reader->m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return nullptr;
        reader->m_size = reader->m_file.size();
        return reader;
    }

    static uLong ZCALLBACK read(voidpf opaque, voidpf, void *buf, uLong size)
    {
        return self(opaque)->readAt(static_cast<char *>(buf), qint64(size));
    }

    static uLong ZCALLBACK write(voidpf, voidpf, const void *, uLong) { return 0; }

    static ZPOS64_T ZCALLBACK tell(voidpf opaque, voidpf) { return self(opaque)->m_position; }

    static long ZCALLBACK seek(voidpf opaque, voidpf, ZPOS64_T offset, int origin)
    {
        ArchiveReader *reader = self(opaque);
        qint64 base = 0;
        if (origin == ZLIB_FILEFUNC_SEEK_CUR)
            base = reader->m_position;
        else if (origin == ZLIB_FILEFUNC_SEEK_END)
            base = reader->m_size;
        else if (origin != ZLIB_FILEFUNC_SEEK_SET)
            return -1;
        const qint64 position = base + qint64(offset);
        if (position < 0 || position > reader->m_size)
            return -1;
        reader->m_position = position;
        return 0;
    }

    static int ZCALLBACK close(voidpf opaque, voidpf)
    {
        self(opaque)->m_file.close();
        return 0;
    }

    static int ZCALLBACK error(voidpf opaque, voidpf) { return self(opaque)->m_failed ? 1 : 0; }

    uLong readAt(char *out, qint64 size)
    {
        qint64 done = 0;
        while (done < size && m_position < m_size) {
            if (m_position < m_chunkStart || m_position >= m_chunkStart + m_chunkLength) {
                if (!fill())
                    break;
            }
            const qint64 offset = m_position - m_chunkStart;
            const qint64 count = qMin(size - done, m_chunkLength - offset);
            std::memcpy(out + done, m_chunk.constData() + offset, size_t(count));
            done += count;
            m_position += count;
        }
        return uLong(done);
    }

    bool fill()
    {
        if (m_chunk.isEmpty())
            m_chunk.resize(ReadChunkSize);
        m_chunkStart = m_position;
        m_chunkLength = 0;
        if (!m_file.seek(m_position)) {
            m_failed = true;
            return false;
        }
        const qint64 count = m_file.read(m_chunk.data(), ReadChunkSize);
        if (count <= 0) {
            m_failed = count < 0;
            return false;
        }
        m_chunkLength = count;
        return true;
    }

    QFile m_file;
    QByteArray m_chunk;
    qint64 m_size = 0;
    qint64 m_position = 0;
    qint64 m_chunkStart = 0;
    qint64 m_chunkLength = 0;
    bool m_failed = false;
};

} // namespace

bool ZipExtractor::extractZip(const QString &zipFilePath)
{
    const QString root = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (root.isEmpty()) {
        qDebug() << "Failed to get AppData/Local path.";
        return false;
    }
    qDebug() << "Extracting to AppData/Local at:" << root;

    ArchiveReader reader(zipFilePath);
    zlib_filefunc64_def fileFunctions = reader.fileFunctions();
    unzFile zipFile = unzOpen2_64(zipFilePath.toUtf8().constData(), &fileFunctions);
    if (!zipFile) {
        qDebug() << "Failed to open zip file:" << zipFilePath;
        return false;
    }
    if (unzGoToFirstFile(zipFile) != UNZ_OK) {
        qDebug() << "Failed to go to first file in zip.";
        unzClose(zipFile);
        return false;
    }
    int next = UNZ_OK;
    do {
        if (!extractCurrentFile(zipFile, root)) {
            qDebug() << "Failed to extract one or more files.";
            unzClose(zipFile);
            return false;
        }
        next = unzGoToNextFile(zipFile);
    } while (next == UNZ_OK);
    // Only the end of the list ends the walk: a damaged record before it would otherwise pass
    // for the end, and an incomplete install for a complete one.
    if (next != UNZ_END_OF_LIST_OF_FILE) {
        qDebug() << "Failed to go to next file in zip.";
        unzClose(zipFile);
        return false;
    }

    unzClose(zipFile);
    qDebug() << "ZIP extraction completed!";
    return true;
}

bool ZipExtractor::extractCurrentFile(unzFile zipFile, const QString &root)
{
    unz_file_info64 info;
    char nameBuffer[NameBufferSize];
    if (unzGetCurrentFileInfo64(zipFile, &info, nameBuffer, NameBufferSize, nullptr, 0, nullptr,
                                0)
        != UNZ_OK) {
        qDebug() << "Failed to get file info.";
        return false;
    }
    QByteArray rawName;
    if (info.size_filename <= NameBufferSize) {
        rawName = QByteArray(nameBuffer, qsizetype(info.size_filename));
    } else {
        rawName.resize(qsizetype(info.size_filename));
        if (unzGetCurrentFileInfo64(zipFile, nullptr, rawName.data(), info.size_filename, nullptr,
                                    0, nullptr, 0)
            != UNZ_OK) {
            qDebug() << "Failed to get file info.";
            return false;
        }
    }
    // The name is text up to its first NUL, whatever the header's length says.
    const qsizetype nul = rawName.indexOf('\0');
    if (nul >= 0)
        rawName.truncate(nul);
    const QString entryName = QString::fromUtf8(rawName);

    if (rawName.contains(".gitattributes")) {
        qDebug() << "Skipping file:" << entryName;
        return true;
    }
    // minizip hands names over as stored, so the checks against leaving the root are ours.
    if (escapesRoot(entryName)) {
        qDebug() << "Refusing entry outside the install folder:" << entryName;
        return false;
    }
    const quint32 mode = unixMode(info);
    if ((mode & FileTypeMask) == SymlinkType) {
        qDebug() << "Refusing symbolic link entry:" << entryName;
        return false;
    }

    const QString targetPath = root + "/" + entryName;
    qDebug() << "Extracting to:" << targetPath;

    if (!QDir().mkpath(QFileInfo(targetPath).path())) {
        qDebug() << "Failed to create directory for" << targetPath;
        return false;
    }
    if (QFileInfo(targetPath).isDir())
        return true;

    if (unzOpenCurrentFile(zipFile) != UNZ_OK) {
        qDebug() << "Failed to open file from zip:" << rawName.constData();
        return false;
    }
    // Unbuffered, so a failing write (a full disk) shows in write()'s count rather than
    // vanishing in a flush at close.
    QFile outFile(targetPath);
    if (!outFile.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qDebug() << "Failed to open output file for writing:" << targetPath;
        unzCloseCurrentFile(zipFile);
        return false;
    }

    char buffer[CopyBufferSize];
    qint64 totalBytes = 0;
    int bytesRead = 0;
    while ((bytesRead = unzReadCurrentFile(zipFile, buffer, CopyBufferSize)) > 0) {
        const qint64 bytesWritten = outFile.write(buffer, bytesRead);
        if (bytesWritten != bytesRead) {
            qDebug() << "Error writing to file. Bytes written:" << bytesWritten
                     << "Expected:" << bytesRead;
            outFile.close();
            unzCloseCurrentFile(zipFile);
            return false;
        }
        totalBytes += bytesWritten;
    }
    if (bytesRead < 0) {
        qDebug() << "Error reading file from zip:" << rawName.constData();
        outFile.close();
        unzCloseCurrentFile(zipFile);
        return false;
    }

    if ((mode & 0777) != 0 && !outFile.setPermissions(permissionsFromMode(mode)))
        qDebug() << "Failed to set permissions of" << targetPath;
    outFile.close();

    // minizip checks the CRC only here, once the data has been read to its end; a stream that
    // ends early is caught by its length.
    const int closeResult = unzCloseCurrentFile(zipFile);
    if (closeResult == UNZ_CRCERROR) {
        qDebug() << "Checksum mismatch in file from zip:" << entryName;
        return false;
    }
    if (closeResult != UNZ_OK || quint64(totalBytes) != info.uncompressed_size) {
        qDebug() << "Incomplete data of file from zip:" << entryName;
        return false;
    }
    qDebug() << "File extracted successfully. Total bytes written:" << totalBytes;
    return true;
}
