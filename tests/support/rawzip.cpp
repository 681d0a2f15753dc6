#include "rawzip.h"

#include <QtEndian>

#include <zlib.h>

namespace {

void put(QByteArray &out, quint64 value, int size)
{
    for (int i = 0; i < size; ++i)
        out.append(char(value >> (8 * i)));
}

quint64 get(const QByteArray &in, qint64 at, int size)
{
    quint64 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | uchar(in.at(at + i));
    return value;
}

} // namespace

QByteArray RawZip::bytes() const
{
    QByteArray out;
    QByteArray directory;
    for (const Entry &entry : m_entries) {
        const quint32 crc = crc32(0, reinterpret_cast<const Bytef *>(entry.data.constData()),
                                  uInt(entry.data.size()));
        const quint64 offset = quint64(out.size());
        const quint64 size = quint64(entry.data.size());
        const quint64 small = entry.zip64 ? 0xFFFFFFFF : size;
        // Local header: with a descriptor its CRC and sizes are 0 (ZIP64: in the extra field).
        put(out, 0x04034b50, 4);
        put(out, 45, 2);
        put(out, entry.descriptor ? 8 : 0, 2);
        put(out, 0, 2);
        put(out, 0x5c210000, 4);
        put(out, entry.descriptor ? 0 : crc, 4);
        put(out, entry.descriptor && !entry.zip64 ? 0 : small, 4);
        put(out, entry.descriptor && !entry.zip64 ? 0 : small, 4);
        put(out, quint64(entry.name.size()), 2);
        put(out, entry.zip64 ? 20 : 0, 2);
        out += entry.name;
        if (entry.zip64) {
            put(out, 1, 2);
            put(out, 16, 2);
            put(out, entry.descriptor ? 0 : size, 8);
            put(out, entry.descriptor ? 0 : size, 8);
        }
        out += entry.data;
        if (entry.descriptor) {
            put(out, 0x08074b50, 4);
            put(out, crc, 4);
            put(out, size, entry.zip64 ? 8 : 4);
            put(out, size, entry.zip64 ? 8 : 4);
        }
        put(directory, 0x02014b50, 4);
        put(directory, 0x031e, 2);
        put(directory, 45, 2);
        put(directory, entry.descriptor ? 8 : 0, 2);
        put(directory, 0, 2);
        put(directory, 0x5c210000, 4);
        put(directory, crc, 4);
        put(directory, small, 4);
        put(directory, small, 4);
        put(directory, quint64(entry.name.size()), 2);
        put(directory, entry.zip64 ? 28 : 0, 2);
        put(directory, 0, 6); // comment length, disk, internal attributes
        put(directory, 0100644u << 16, 4);
        put(directory, entry.zip64 ? 0xFFFFFFFF : offset, 4);
        directory += entry.name;
        if (entry.zip64) {
            put(directory, 1, 2);
            put(directory, 24, 2);
            put(directory, size, 8);
            put(directory, size, 8);
            put(directory, offset, 8);
        }
    }
    const quint64 start = quint64(out.size());
    const quint64 count = quint64(m_entries.size());
    out += directory;
    if (m_zip64End) {
        const quint64 record = quint64(out.size());
        put(out, 0x06064b50, 4);
        put(out, 44, 8);
        put(out, 45, 2);
        put(out, 45, 2);
        put(out, 0, 8); // disks
        put(out, count, 8);
        put(out, count, 8);
        put(out, quint64(directory.size()), 8);
        put(out, start, 8);
        put(out, 0x07064b50, 4);
        put(out, 0, 4);
        put(out, record, 8);
        put(out, 1, 4);
    }
    put(out, 0x06054b50, 4);
    put(out, 0, 4);
    put(out, m_zip64End ? 0xFFFF : count, 2);
    put(out, m_zip64End ? 0xFFFF : count, 2);
    put(out, m_zip64End ? 0xFFFFFFFF : quint64(directory.size()), 4);
    put(out, m_zip64End ? 0xFFFFFFFF : start, 4);
    put(out, quint64(m_comment.size()), 2);
    return out + m_comment;
}

qint64 RawZip::directoryOffset(const QByteArray &archive)
{
    const qint64 end = archive.lastIndexOf("PK\5\6");
    const qint64 locator = end - 20;
    if (locator >= 0 && get(archive, locator, 4) == 0x07064b50)
        return qint64(get(archive, qint64(get(archive, locator + 8, 8)) + 48, 8));
    return qint64(get(archive, end + 16, 4));
}

void RawZip::patchCentral(QByteArray &archive, int index, int offset, quint64 value, int size)
{
    qint64 at = directoryOffset(archive);
    for (int i = 0; i < index; ++i)
        at += 46 + get(archive, at + 28, 2) + get(archive, at + 30, 2) + get(archive, at + 32, 2);
    for (int i = 0; i < size; ++i)
        archive[at + offset + i] = char(value >> (8 * i));
}
