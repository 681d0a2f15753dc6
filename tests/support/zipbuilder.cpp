#include "zipbuilder.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <zip.h>

#include <cstring>

bool ZipBuilder::write(const QString &path) const
{
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    bool ok = zip != nullptr;
    for (qsizetype i = 0; ok && i < m_entries.size(); ++i) {
        const Entry &entry = m_entries.at(i);
        zip_fileinfo info{};
        info.tmz_date.tm_year = 2026;
        info.tmz_date.tm_mday = 1;
        info.external_fa = uLong(entry.unixMode) << 16;
        // Made on Unix (host 3) when there is a mode to record, on MS-DOS otherwise.
        const uLong versionMadeBy = (entry.unixMode != 0 ? 3u << 8 : 0) | 20;
        const int method = entry.deflate ? Z_DEFLATED : 0;
        ok = zipOpenNewFileInZip4_64(zip, entry.name.constData(), &info, nullptr, 0, nullptr, 0,
                                     nullptr, method, entry.deflate ? Z_DEFAULT_COMPRESSION : 0, 0,
                                     -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                     versionMadeBy, 0, 0)
                 == ZIP_OK
             && zipWriteInFileInZip(zip, entry.data.constData(), unsigned(entry.data.size()))
                    == ZIP_OK
             && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zip && zipClose(zip, nullptr) == ZIP_OK && ok;
}

QByteArray ZipBuilder::bytes() const
{
    QTemporaryDir dir;
    QFile file(dir.filePath("archive.zip"));
    return write(file.fileName()) && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void ZipBuilder::patch(QByteArray &archive, int index, Field field, quint32 value)
{
    auto *bytes = reinterpret_cast<uchar *>(archive.data());
    // The end record names the central directory; each central header names its local one.
    qsizetype central = qFromLittleEndian<quint32>(bytes + archive.lastIndexOf("PK\5\6") + 16);
    for (int i = 0; i < index; ++i)
        central += 46 + qFromLittleEndian<quint16>(bytes + central + 28)
                   + qFromLittleEndian<quint16>(bytes + central + 30)
                   + qFromLittleEndian<quint16>(bytes + central + 32);
    const qsizetype local = qFromLittleEndian<quint32>(bytes + central + 42);
    // The field's offsets in the local and the central header; flags and method take 2 bytes.
    const int at[][2] = {{14, 16}, {22, 24}, {6, 8}, {8, 10}};
    const quint32 little = qToLittleEndian(value); // its first two bytes for a 2-byte field
    const int size = field == Flags || field == Method ? 2 : 4;
    for (const qsizetype offset : {local + at[field][0], central + at[field][1]})
        memcpy(bytes + offset, &little, size_t(size));
}
