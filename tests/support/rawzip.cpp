#include "rawzip.h"

#include <zlib.h>

#include <initializer_list>
#include <utility>

namespace {

// Little-endian fields: value, size in bytes.
void put(QByteArray &out, std::initializer_list<std::pair<quint64, int>> fields)
{
    for (const auto &[value, size] : fields) {
        for (int i = 0; i < size; ++i)
            out.append(char(value >> (8 * i)));
    }
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
    for (const Entry &entry : entries) {
        const quint32 crc = crc32(0, reinterpret_cast<const Bytef *>(entry.data.constData()),
                                  uInt(entry.data.size()));
        const quint64 offset = quint64(out.size());
        const quint64 size = quint64(entry.data.size());
        const quint64 name = quint64(entry.name.size());
        const bool d = entry.descriptor;
        // The local header: with a descriptor, its CRC and sizes are 0 (ZIP64: in the extra
        // field, which then holds both sizes).
        const quint64 local = entry.zip64 ? 0xFFFFFFFF : d ? 0 : size;
        put(out, {{0x04034b50, 4}, {45, 2}, {d ? 8 : 0, 2}, {0, 2}, {0x5c210000, 4}});
        put(out, {{d ? 0 : crc, 4}, {local, 4}, {local, 4}, {name, 2}, {entry.zip64 ? 20 : 0, 2}});
        out += entry.name;
        if (entry.zip64)
            put(out, {{1, 2}, {16, 2}, {d ? 0 : size, 8}, {d ? 0 : size, 8}});
        out += entry.data;
        if (d)
            put(out, {{0x08074b50, 4},
                      {crc, 4},
                      {size, entry.zip64 ? 8 : 4},
                      {size, entry.zip64 ? 8 : 4}});
        // The central record: the fields of the zip64 mask in the ZIP64 extra field.
        const auto wide = [&](int bit, quint64 value) {
            return entry.zip64 & bit ? 0xFFFFFFFF : value;
        };
        const int extra = (entry.zip64 & 1 ? 8 : 0) + (entry.zip64 & 2 ? 8 : 0)
                          + (entry.zip64 & 4 ? 8 : 0);
        put(directory, {{0x02014b50, 4}, {0x031e, 2}, {45, 2}, {d ? 8 : 0, 2}, {0, 2}});
        put(directory, {{0x5c210000, 4}, {crc, 4}, {wide(2, size), 4}, {wide(1, size), 4}});
        put(directory, {{name, 2}, {extra ? extra + 4 : 0, 2}, {0, 6}, {0100644u << 16, 4}});
        put(directory, {{wide(4, offset), 4}});
        directory += entry.name;
        if (extra)
            put(directory, {{1, 2}, {quint64(extra), 2}});
        for (const auto &[bit, value] : {std::pair{1, size}, {2, size}, {4, offset}}) {
            if (entry.zip64 & bit)
                put(directory, {{value, 8}});
        }
    }
    const quint64 start = quint64(out.size());
    const quint64 count = quint64(entries.size());
    const quint64 size = quint64(directory.size());
    out += directory;
    if (zip64End) {
        const quint64 record = quint64(out.size());
        put(out, {{0x06064b50, 4}, {44, 8}, {45, 2}, {45, 2}, {0, 8}, {count, 8}, {count, 8}});
        put(out, {{size, 8}, {start, 8}, {0x07064b50, 4}, {0, 4}, {record, 8}, {1, 4}});
    }
    const bool w = zip64End;
    put(out, {{0x06054b50, 4}, {0, 4}, {w ? 0xFFFF : count, 2}, {w ? 0xFFFF : count, 2}});
    put(out,
        {{w ? 0xFFFFFFFF : size, 4}, {w ? 0xFFFFFFFF : start, 4}, {quint64(comment.size()), 2}});
    return out + comment;
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
