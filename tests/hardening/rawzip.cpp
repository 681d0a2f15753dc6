#include "rawzip.h"

#include <QFile>

#include <zlib.h>

#include <cstring>

namespace RawZip {

namespace {

constexpr quint32 localSignature = 0x04034b50;
constexpr quint32 centralSignature = 0x02014b50;
constexpr quint32 endSignature = 0x06054b50;
// 1 January 2026, 00:00, in MS-DOS form.
constexpr quint16 dosTime = 0;
constexpr quint16 dosDate = ((2026 - 1980) << 9) | (1 << 5) | 1;

void append16(QByteArray &bytes, quint16 value)
{
    bytes.append(char(value & 0xff));
    bytes.append(char(value >> 8));
}

void append32(QByteArray &bytes, quint32 value)
{
    append16(bytes, quint16(value & 0xffff));
    append16(bytes, quint16(value >> 16));
}

QByteArray localHeader(const Entry &e)
{
    QByteArray h;
    append32(h, localSignature);
    append16(h, 20);
    append16(h, 0);
    append16(h, e.method);
    append16(h, dosTime);
    append16(h, dosDate);
    append32(h, e.crc);
    append32(h, e.compressedSize);
    append32(h, e.uncompressedSize);
    append16(h, quint16(e.name.size()));
    append16(h, 0);
    return h + e.name;
}

QByteArray centralHeader(const Entry &e, quint32 localOffset)
{
    QByteArray h;
    append32(h, centralSignature);
    append16(h, e.versionMadeBy);
    append16(h, 20);
    append16(h, 0);
    append16(h, e.method);
    append16(h, dosTime);
    append16(h, dosDate);
    append32(h, e.crc);
    append32(h, e.compressedSize);
    append32(h, e.uncompressedSize);
    append16(h, quint16(e.name.size()));
    append16(h, 0);
    append16(h, 0);
    append16(h, 0);
    append16(h, 0);
    append32(h, e.externalAttributes);
    append32(h, localOffset);
    return h + e.name;
}

QByteArray endRecord(quint16 entries, quint32 centralSize, quint32 centralOffset)
{
    QByteArray h;
    append32(h, endSignature);
    append16(h, 0);
    append16(h, 0);
    append16(h, entries);
    append16(h, entries);
    append32(h, centralSize);
    append32(h, centralOffset);
    append16(h, 0);
    return h;
}

} // namespace

quint16 read16(const QByteArray &bytes, qsizetype at)
{
    return quint16(quint8(bytes.at(at)) | (quint8(bytes.at(at + 1)) << 8));
}

quint32 read32(const QByteArray &bytes, qsizetype at)
{
    return quint32(read16(bytes, at)) | (quint32(read16(bytes, at + 2)) << 16);
}

void write16(QByteArray &bytes, qsizetype at, quint16 value)
{
    bytes[at] = char(value & 0xff);
    bytes[at + 1] = char(value >> 8);
}

void write32(QByteArray &bytes, qsizetype at, quint32 value)
{
    write16(bytes, at, quint16(value & 0xffff));
    write16(bytes, at + 2, quint16(value >> 16));
}

Layout layout(const QByteArray &archive)
{
    Layout l;
    const QByteArray endSig("PK\x05\x06", 4);
    l.endRecord = archive.lastIndexOf(endSig);
    if (l.endRecord < 0 || l.endRecord + 22 > archive.size())
        return l;
    const int entries = read16(archive, l.endRecord + endEntries);
    l.centralStart = read32(archive, l.endRecord + endCentralOffset);
    qsizetype at = l.centralStart;
    for (int i = 0; i < entries; ++i) {
        if (at + 46 > archive.size() || read32(archive, at) != centralSignature)
            return l;
        l.centralHeaders.append(at);
        const qsizetype local = read32(archive, at + 42);
        if (local + 30 > archive.size() || read32(archive, local) != localSignature)
            return l;
        l.localHeaders.append(local);
        l.dataStarts.append(local + 30 + read16(archive, local + 26) + read16(archive, local + 28));
        at += 46 + read16(archive, at + 28) + read16(archive, at + 30) + read16(archive, at + 32);
    }
    l.valid = true;
    return l;
}

QByteArray deflate(const QByteArray &content)
{
    z_stream z;
    std::memset(&z, 0, sizeof z);
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&z, uLong(content.size()))), Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(content.constData()));
    z.avail_in = uInt(content.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    ::deflate(&z, Z_FINISH);
    out.truncate(qsizetype(z.total_out));
    deflateEnd(&z);
    return out;
}

Entry entry(const QByteArray &name, const QByteArray &content, bool deflateIt)
{
    Entry e;
    e.name = name;
    e.method = deflateIt ? 8 : 0;
    e.data = deflateIt ? deflate(content) : content;
    e.crc = quint32(crc32(0, reinterpret_cast<const Bytef *>(content.constData()),
                          uInt(content.size())));
    e.compressedSize = quint32(e.data.size());
    e.uncompressedSize = quint32(content.size());
    return e;
}

QByteArray archive(const QList<Entry> &entries)
{
    QByteArray bytes;
    QList<quint32> offsets;
    for (const Entry &e : entries) {
        offsets.append(quint32(bytes.size()));
        bytes += localHeader(e) + e.data;
    }
    const quint32 centralOffset = quint32(bytes.size());
    for (int i = 0; i < entries.size(); ++i)
        bytes += centralHeader(entries.at(i), offsets.at(i));
    bytes += endRecord(quint16(entries.size()), quint32(bytes.size()) - centralOffset,
                       centralOffset);
    return bytes;
}

bool writeZeroBomb(const QString &path, const Entry &head, const QByteArray &bombName,
                   qint64 zeros, quint32 declaredSize, const Entry &tail)
{
    // One mebibyte of zeros deflated up to a full flush: the decoder needs nothing from before
    // a full flush point, so the segment may simply repeat. Deflating the gigabyte itself would
    // take many seconds.
    constexpr qsizetype segmentSize = 1 << 20;
    if (zeros <= 0 || zeros % segmentSize != 0)
        return false;
    const QByteArray chunk(segmentSize, '\0');
    z_stream z;
    std::memset(&z, 0, sizeof z);
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    const auto run = [&z](const QByteArray &in, int flush) {
        QByteArray out;
        QByteArray buffer(1 << 16, Qt::Uninitialized);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.constData()));
        z.avail_in = uInt(in.size());
        do {
            z.next_out = reinterpret_cast<Bytef *>(buffer.data());
            z.avail_out = uInt(buffer.size());
            ::deflate(&z, flush);
            out.append(buffer.constData(), buffer.size() - qsizetype(z.avail_out));
        } while (z.avail_out == 0);
        return out;
    };
    const QByteArray segment = run(chunk, Z_FULL_FLUSH);
    const QByteArray end = run({}, Z_FINISH);
    deflateEnd(&z);

    Entry bomb;
    bomb.name = bombName;
    bomb.method = 8;
    const qint64 segments = zeros / segmentSize;
    bomb.data = segment.repeated(segments) + end;
    const uLong segmentCrc =
        crc32(0, reinterpret_cast<const Bytef *>(chunk.constData()), uInt(chunk.size()));
    uLong crc = segmentCrc;
    for (qint64 i = 1; i < segments; ++i)
        crc = crc32_combine(crc, segmentCrc, segmentSize);
    bomb.crc = quint32(crc);
    bomb.compressedSize = quint32(bomb.data.size());
    bomb.uncompressedSize = declaredSize ? declaredSize : quint32(zeros);

    QFile file(path);
    const QByteArray bytes = archive({head, bomb, tail});
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace RawZip
