#include "extract/zipextractor.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// Most names fit; a longer one is read again in full rather than cut.
constexpr uLong NameBufferSize = 256;
// Each entry's data streams through this buffer.
constexpr unsigned CopyBufferSize = 8192;

// "Version made by" host of archives made on Unix: only they carry a file mode.
constexpr uLong UnixHost = 3;
constexpr quint32 FileTypeMask = 0170000;
constexpr quint32 SymlinkType = 0120000;

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A name that is absolute or climbs out with "..". Windows reads "\" as a separator too, so
// both are checked wherever the launcher runs.
bool escapesRoot(const QByteArray &name)
{
    if (name.startsWith('/') || name.startsWith('\\'))
        return true;
    if (name.size() >= 2 && isAsciiLetter(name.at(0)) && name.at(1) == ':')
        return true;
    QByteArray normalised = name;
    normalised.replace('\\', '/');
    const QList<QByteArray> parts = normalised.split('/');
    for (const QByteArray &part : parts) {
        if (part == "..")
            return true;
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

} // namespace

bool ZipExtractor::extractZip(const QString &zipFilePath)
{
    const QString root = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (root.isEmpty()) {
        qDebug() << "Failed to get AppData/Local path.";
        return false;
    }
    qDebug() << "Extracting to AppData/Local at:" << root;

    unzFile zipFile = unzOpen64(zipFilePath.toUtf8().constData());
    if (!zipFile) {
        qDebug() << "Failed to open zip file:" << zipFilePath;
        return false;
    }
    if (unzGoToFirstFile(zipFile) != UNZ_OK) {
        qDebug() << "Failed to go to first file in zip.";
        unzClose(zipFile);
        return false;
    }
    do {
        if (!extractCurrentFile(zipFile, root)) {
            qDebug() << "Failed to extract one or more files.";
            unzClose(zipFile);
            return false;
        }
    } while (unzGoToNextFile(zipFile) == UNZ_OK);

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
    if (escapesRoot(rawName)) {
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

    QByteArray buffer(CopyBufferSize, Qt::Uninitialized);
    qint64 totalBytes = 0;
    int bytesRead = 0;
    while ((bytesRead = unzReadCurrentFile(zipFile, buffer.data(), CopyBufferSize)) > 0) {
        const qint64 bytesWritten = outFile.write(buffer.constData(), bytesRead);
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
