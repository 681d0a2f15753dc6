#include "zipbuilder.h"

#include <QBuffer>
#include <QFile>
#include <QtEndian>

#include <zlib.h>

#include <cstring>

namespace {

constexpr quint32 marker = 0xFFFFFFFF;
constexpr quint32 dosDate = ((2026 - 1980) << 9 | 1 << 5 | 1) << 16; // 2026-01-01 00:00

template<typename T>
void put(QByteArray &out, T value)
{
    const T little = qToLittleEndian(value);
    out.append(reinterpret_cast<const char *>(&little), sizeof(T));
}

// Raw deflate of data. Ended with a full flush, it refers to no byte before it and takes none
// after it, so that such pieces can be strung together.
QByteArray deflated(const QByteArray &data, int flush)
{
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))) + 16, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, flush);
    out.resize(out.size() - stream.avail_out);
    deflateEnd(&stream);
    return out;
}

struct Packed
{
    QByteArray data; // stored zeros left out
    quint32 crc;
    quint64 size;
    quint64 packedSize;
};

// The entry's data as stored: deflated zeros as one deflated MiB repeated, then an empty last
// block; stored ones as a hole in the file, for the writer to leave.
Packed pack(const ZipBuilder::Entry &entry)
{
    const bool deflate = entry.deflate;
    Packed packed{deflate ? deflated(entry.data, entry.zeros ? Z_FULL_FLUSH : Z_FINISH)
                          : entry.data,
                  quint32(crc32(0, reinterpret_cast<const Bytef *>(entry.data.constData()),
                                uInt(entry.data.size()))),
                  quint64(entry.data.size()) + entry.zeros, 0};
    const QByteArray mib(1 << 20, '\0');
    const QByteArray piece = deflate && entry.zeros ? deflated(mib, Z_FULL_FLUSH) : QByteArray();
    const auto crc = [&](qsizetype count) {
        return crc32(0, reinterpret_cast<const Bytef *>(mib.constData()), uInt(count));
    };
    const uLong pieceCrc = crc(mib.size());
    for (quint64 left = entry.zeros; left > 0;) {
        const qsizetype count = qsizetype(qMin<quint64>(left, quint64(mib.size())));
        const bool whole = count == mib.size();
        if (deflate)
            packed.data += whole ? piece : deflated(mib.left(count), Z_FULL_FLUSH);
        packed.crc = quint32(crc32_combine64(packed.crc, whole ? pieceCrc : crc(count), count));
        left -= quint64(count);
    }
    if (deflate && entry.zeros)
        packed.data += QByteArray("\x03\x00", 2);
    packed.packedSize = quint64(packed.data.size()) + (deflate ? 0 : entry.zeros);
    return packed;
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
        const Packed packed = pack(entry);
        const quint64 values[] = {packed.size, packed.packedSize, offset};
        const int zip64 = form.zip64 | (offset >= marker ? Offset : 0);
        const quint16 method = entry.deflate ? Z_DEFLATED : 0;
        const quint16 flags = form.descriptor ? 8 : 0;
        const quint16 needed = zip64 || form.localZip64 ? 45 : 20;
        const bool localZip64 = form.localZip64 && !form.descriptor;

        QByteArray local;
        put<quint32>(local, 0x04034b50);
        put<quint16>(local, needed);
        put<quint16>(local, flags);
        put<quint16>(local, method);
        put<quint32>(local, dosDate);
        put<quint32>(local, form.descriptor ? 0 : packed.crc);
        for (int k : {1, 0})
            put<quint32>(local, form.descriptor ? 0 : localZip64 ? marker : quint32(values[k]));
        put<quint16>(local, quint16(entry.name.size()));
        put<quint16>(local, localZip64 ? 20 : 0);
        local += entry.name;
        if (localZip64) {
            put<quint16>(local, 1);
            put<quint16>(local, 16);
            put<quint64>(local, values[0]);
            put<quint64>(local, values[1]);
        }
        local += packed.data;
        const qint64 hole = entry.deflate ? 0 : qint64(entry.zeros);
        if (hole > 0) {
            if (out.write(local) != local.size() || !out.seek(out.pos() + hole))
                return false;
            local.clear();
        }
        if (form.descriptor) {
            put<quint32>(local, 0x08074b50);
            put<quint32>(local, packed.crc);
            put<quint64>(local, values[1]);
            put<quint64>(local, values[0]);
        }
        if (out.write(local) != local.size())
            return false;

        QByteArray extra;
        for (int k = 0; k < 3; ++k) {
            if (form.allInExtra || (zip64 & (1 << k)))
                put<quint64>(extra, values[k]);
        }
        if (!extra.isEmpty())
            extra.prepend(QByteArray("\x01\x00", 2) + char(extra.size()) + '\0');
        extra += entry.extra;
        put<quint32>(central, 0x02014b50);
        put<quint16>(central, quint16((entry.unixMode != 0 ? 3 << 8 : 0) | 20));
        put<quint16>(central, needed);
        put<quint16>(central, flags);
        put<quint16>(central, method);
        put<quint32>(central, dosDate);
        put<quint32>(central, packed.crc);
        for (int k : {1, 0})
            put<quint32>(central, zip64 & (1 << k) ? marker : quint32(values[k]));
        put<quint16>(central, quint16(entry.name.size()));
        put<quint16>(central, quint16(extra.size()));
        put<quint32>(central, 0); // comment length, disk
        put<quint16>(central, 0); // internal attributes
        put<quint32>(central, entry.unixMode << 16);
        put<quint32>(central, zip64 & Offset ? marker : quint32(offset));
        central += entry.name + extra;
    }
    const quint64 start = quint64(out.pos()), count = quint64(m_entries.size());
    QByteArray end;
    if (start >= marker) { // a ZIP64 end record and its locator
        put<quint32>(end, 0x06064b50);
        put<quint64>(end, 44);
        put<quint32>(end, 45 | 45 << 16); // made by, needed
        put<quint64>(end, 0);             // disks
        put<quint64>(end, count);
        put<quint64>(end, count);
        put<quint64>(end, quint64(central.size()));
        put<quint64>(end, start);
        put<quint32>(end, 0x07064b50);
        put<quint32>(end, 0);
        put<quint64>(end, start + quint64(central.size()));
        put<quint32>(end, 1);
    }
    put<quint32>(end, 0x06054b50);
    put<quint32>(end, 0); // disks
    put<quint16>(end, quint16(count));
    put<quint16>(end, quint16(count));
    put<quint32>(end, quint32(central.size()));
    put<quint32>(end, quint32(qMin<quint64>(start, marker)));
    put<quint16>(end, 0);
    central += end;
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
