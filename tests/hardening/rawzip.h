#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

// Archives byte by byte, for the damage the archive builder cannot do: sizes, checksums and
// offsets that lie, names with NUL bytes, streams much larger than their archive.
namespace RawZip {

quint16 read16(const QByteArray &bytes, qsizetype at);
quint32 read32(const QByteArray &bytes, qsizetype at);
void write16(QByteArray &bytes, qsizetype at, quint16 value);
void write32(QByteArray &bytes, qsizetype at, quint32 value);

// Where the records of a well-formed archive start, read from its end of central directory.
struct Layout
{
    QList<qsizetype> localHeaders; // one per entry, in central directory order
    QList<qsizetype> dataStarts;   // first byte of each entry's data
    QList<qsizetype> centralHeaders;
    qsizetype centralStart = -1;
    qsizetype endRecord = -1;
    bool valid = false;
};
Layout layout(const QByteArray &archive);

// Offsets of the size and checksum fields inside the two headers.
constexpr qsizetype localCrc = 14, localCompressed = 18, localUncompressed = 22;
constexpr qsizetype centralCrc = 16, centralCompressed = 20, centralUncompressed = 24;
constexpr qsizetype endEntriesOnDisk = 8, endEntries = 10, endCentralSize = 12,
                    endCentralOffset = 16;

// One entry as written; every field is taken as given, true or not.
struct Entry
{
    QByteArray name;
    QByteArray data; // stored as is: already deflated when method is 8
    quint16 method = 0;
    quint32 crc = 0;
    quint32 compressedSize = 0;
    quint32 uncompressedSize = 0;
    quint32 externalAttributes = 0;
    quint16 versionMadeBy = 20;
};

// An honest entry: the content stored (method 0) or raw-deflated (method 8).
Entry entry(const QByteArray &name, const QByteArray &content, bool deflateIt = true);
QByteArray deflate(const QByteArray &content);

QByteArray archive(const QList<Entry> &entries);

// Writes an archive of head, then an entry holding `zeros` zero bytes (a whole number of
// mebibytes; a gigabyte costs about a megabyte), then tail. The entry declares `declaredSize`
// (0: the truth).
bool writeZeroBomb(const QString &path, const Entry &head, const QByteArray &bombName,
                   qint64 zeros, quint32 declaredSize, const Entry &tail);

} // namespace RawZip
