#include "zipbuilder.h"

#include <QBuffer>
#include <QFile>
#include <QtEndian>

#include <zlib.h>

#include <cstring>
#include <initializer_list>

namespace {

constexpr quint32 marker = 0xFFFFFFFF;
constexpr quint32 dosDate = ((2026 - 1980) << 9 | 1 << 5 | 1) << 16; // 2026-01-01 00:00

// Little-endian fields, the digits of sizes giving their sizes in bytes.
QByteArray fields(const char *sizes, std::initializer_list<quint64> values)
{
    QByteArray out;
    for (const quint64 value : values) {
        for (int i = 0; i < *sizes - '0'; ++i)
            out.append(char(value >> (8 * i)));
        ++sizes;
    }
    return out;
}

// Raw deflate of data: zlib's stream without its header and checksum.
QByteArray deflated(const QByteArray &data)
{
    uLongf size = compressBound(uLong(data.size()));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    compress2(reinterpret_cast<Bytef *>(out.data()), &size,
              reinterpret_cast<const Bytef *>(data.constData()), uLong(data.size()),
              Z_DEFAULT_COMPRESSION);
    return out.mid(2, qsizetype(size) - 6);
}

uLong crc(uLong crc, const QByteArray &data)
{
    return crc32(crc, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size()));
}

} // namespace

bool ZipBuilder::write(QIODevice &out, const Form &form) const
{
    QByteArray central;
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const Entry &entry = m_entries.at(i);
        if (i + 1 == m_entries.size() && form.gap > 0 && !out.seek(out.pos() + form.gap))
            return false;
        const quint64 offset = quint64(out.pos());
        const QByteArray data = entry.deflate ? deflated(entry.data) : entry.data;
        const quint64 zeros = entry.zeroMiB << 20;
        // The zeros' CRC made of that of one MiB, as they are never held.
        static const uLong mibCrc = crc(0, QByteArray(1 << 20, '\0'));
        uLong dataCrc = crc(0, entry.data);
        for (quint64 mib = 0; mib < entry.zeroMiB; ++mib)
            dataCrc = crc32_combine(dataCrc, mibCrc, 1 << 20);
        const quint64 values[] = {quint64(entry.data.size()) + zeros, quint64(data.size()) + zeros,
                                  offset};
        const int zip64 = form.zip64 | entry.zip64 | (offset >= marker ? Offset : 0);
        const bool described = form.descriptor || entry.descriptor;
        const quint64 method = entry.deflate ? Z_DEFLATED : 0, flags = described ? 8 : 0;
        const quint64 needed = zip64 || form.localZip64 ? 45 : 20;
        const bool localZip64 = entry.localZip64 || (form.localZip64 && !described);
        const auto localSize = [&](int k) -> quint64 {
            return localZip64 ? marker : described ? 0 : values[k];
        };
        const quint64 nameSize = quint64(entry.name.size());
        QByteArray local = fields("4222444422", {0x04034b50, needed, flags, method, dosDate,
                                                 described ? 0 : dataCrc, localSize(1),
                                                 localSize(0), nameSize, localZip64 ? 20u : 0u})
                           + entry.name;
        if (localZip64)
            local += fields("2288", {1, 16, described ? 0 : values[0], described ? 0 : values[1]});
        // Stored zeros as a hole in the file; descriptor sizes of 8 bytes with ZIP64 fields.
        const QByteArray descriptor =
            described ? fields(zip64 ? "4488" : "4444", {0x08074b50, dataCrc, values[1], values[0]})
                      : QByteArray();
        if (out.write(local + data) != local.size() + data.size()
            || !out.seek(out.pos() + qint64(zeros)) || out.write(descriptor) != descriptor.size())
            return false;
        QByteArray extra;
        for (int k = 0; k < 3; ++k) {
            if (form.allInExtra || (zip64 & (1 << k)))
                extra += fields("8", {values[k]});
        }
        if (!extra.isEmpty())
            extra.prepend(fields("22", {1, quint64(extra.size())}));
        extra += entry.extra;
        const auto centralValue = [&](int k) { return zip64 & (1 << k) ? marker : values[k]; };
        const quint64 madeBy = (entry.unixMode != 0 ? 3 << 8 : 0) | 20;
        central += fields("4222244442222244",
                          {0x02014b50, madeBy, needed, flags, method, dosDate, dataCrc,
                           centralValue(1), centralValue(0), nameSize, quint64(extra.size()), 0, 0,
                           0, quint64(entry.unixMode) << 16, centralValue(2)})
                   + entry.name + extra;
    }
    const quint64 start = quint64(out.pos()), count = quint64(m_entries.size());
    const quint64 size = quint64(central.size());
    if (start >= marker || form.zip64End) { // a ZIP64 end record and its locator
        central += fields("48224488884484", {0x06064b50, 44, 45, 45, 0, 0, count, count, size,
                                             start, 0x07064b50, 0, start + size, 1});
    }
    const auto end = [&](quint64 value) { return form.zip64End ? ~0ull : value; };
    central += fields("42222442", {0x06054b50, 0, 0, end(count), end(count), end(size),
                                   end(qMin<quint64>(start, marker)), quint64(form.comment.size())})
               + form.comment;
    return out.write(central) == central.size();
}

bool ZipBuilder::write(const QString &path, const Form &form) const
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && write(file, form);
}

QByteArray ZipBuilder::bytes(const Form &form) const
{
    QByteArray archive;
    QBuffer buffer(&archive);
    return buffer.open(QIODevice::WriteOnly) && write(buffer, form) ? archive : QByteArray();
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
    // The field's offsets in the local and the central header (0: not there); flags, method and
    // extra size take 2 bytes.
    const int at[][2] = {{14, 16}, {22, 24}, {6, 8}, {8, 10}, {0, 42}, {28, 0}};
    const quint32 little = qToLittleEndian(value); // its first two bytes for a 2-byte field
    const int size = field == Flags || field == Method || field == LocalExtraSize ? 2 : 4;
    for (const qsizetype offset : {local + at[field][0], central + at[field][1]}) {
        if (offset != local && offset != central)
            memcpy(bytes + offset, &little, size_t(size));
    }
}
