#include "zipbuilder.h"

#include <QFile>
#include <QTemporaryDir>

#include <zip.h>

#include <cstring>

namespace {

// Raw deflate, as a ZIP entry stores it: qCompress's zlib stream without its 4-byte length
// prefix, 2-byte header and 4-byte Adler-32 trailer.
QByteArray deflateRaw(const QByteArray &data)
{
    const QByteArray zlibStream = qCompress(data);
    return zlibStream.size() > 10 ? zlibStream.mid(6, zlibStream.size() - 10) : QByteArray();
}

quint32 crc32Of(const QByteArray &data)
{
    quint32 crc = 0xffffffffu;
    for (const char byte : data) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

} // namespace

ZipBuilder &ZipBuilder::addFile(const QByteArray &name, const QByteArray &data, quint32 unixMode)
{
    return add({name, data, true, unixMode});
}

ZipBuilder &ZipBuilder::addStoredFile(const QByteArray &name, const QByteArray &data)
{
    return add({name, data, false, 0});
}

ZipBuilder &ZipBuilder::addDirectory(const QByteArray &name)
{
    return add({name, {}, false, 0});
}

ZipBuilder &ZipBuilder::addSymlink(const QByteArray &name, const QByteArray &target)
{
    return add({name, target, false, 0120777});
}

ZipBuilder &ZipBuilder::add(const Entry &entry)
{
    m_entries.append(entry);
    return *this;
}

bool ZipBuilder::write(const QString &path) const
{
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    bool ok = true;
    for (const Entry &entry : m_entries) {
        zip_fileinfo info;
        std::memset(&info, 0, sizeof info);
        info.tmz_date.tm_year = 2026;
        info.tmz_date.tm_mon = 0;
        info.tmz_date.tm_mday = 1;
        uLong versionMadeBy = 20; // MS-DOS host: no Unix mode
        if (entry.unixMode != 0) {
            versionMadeBy = (3u << 8) | 20; // Unix host
            info.external_fa = uLong(entry.unixMode) << 16;
        }
        const int method = entry.deflate ? Z_DEFLATED : 0;
        const int level = entry.deflate ? Z_DEFAULT_COMPRESSION : 0;
        // Damaged entries are written raw: the data and the header values come from here.
        const bool raw = entry.corruptData || entry.declaredSize >= 0;
        QByteArray stored = entry.data;
        if (raw && entry.deflate)
            stored = deflateRaw(entry.data);
        if (entry.corruptData && !stored.isEmpty())
            stored[stored.size() / 2] = char(stored.at(stored.size() / 2) ^ 0x5a);
        if (zipOpenNewFileInZip4_64(zip, entry.name.constData(), &info, nullptr, 0, nullptr, 0,
                                    nullptr, method, level, raw ? 1 : 0, -MAX_WBITS,
                                    DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, versionMadeBy,
                                    0, entry.data.size() > 0xffffffffLL ? 1 : 0)
            != ZIP_OK) {
            ok = false;
            break;
        }
        if (!stored.isEmpty()
            && zipWriteInFileInZip(zip, stored.constData(), unsigned(stored.size())) != ZIP_OK)
            ok = false;
        if (raw) {
            const uLong crc = crc32Of(entry.data);
            const qint64 size = entry.declaredSize >= 0 ? entry.declaredSize : entry.data.size();
            if (zipCloseFileInZipRaw64(zip, ZPOS64_T(size), crc) != ZIP_OK)
                ok = false;
        } else if (zipCloseFileInZip(zip) != ZIP_OK) {
            ok = false;
        }
        if (!ok)
            break;
    }
    if (zipClose(zip, nullptr) != ZIP_OK)
        ok = false;
    return ok;
}

QByteArray ZipBuilder::bytes() const
{
    QTemporaryDir dir;
    const QString path = dir.filePath("archive.zip");
    if (!write(path))
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}
