#pragma once

#include "extract/zipformat.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>

// One entry of a ZIP archive's central directory, ZIP64 fields resolved.
struct ZipEntry
{
    QByteArray rawName; // as stored
    QString name;       // UTF-8, up to the first NUL, as the extractor reads it
    quint32 crc32 = 0;
    qint64 compressedSize = 0;
    qint64 uncompressedSize = 0;
    quint16 method = 0;
    quint16 flags = 0;
    quint16 versionMadeBy = 0;
    quint32 externalAttributes = 0;
    qint64 localHeaderOffset = 0;

    bool hasDataDescriptor() const { return flags & ZipFormat::dataDescriptorFlag; }
    bool isEncrypted() const { return flags & ZipFormat::encryptedFlag; }
    // A name ending in a separator, or empty: a folder, which has no data to fetch.
    bool isFolder() const;
    // The Unix mode, which only archives made on Unix (host 3) record; 0 otherwise.
    quint32 unixMode() const
    {
        return versionMadeBy >> 8 == ZipFormat::unixHost ? externalAttributes >> 16 : 0;
    }
};

// Where an entry lies in the archive: [begin, end).
struct ZipExtent
{
    qint64 begin = 0;
    qint64 end = 0;
};

// The central directory of an archive read from its last bytes, without the rest of it: what a
// delta update fetches first, by a range request.
class ZipDirectory
{
public:
    enum Status {
        Parsed,
        NeedMore, // the buffer must reach back to needFrom()
        NotZip,   // no end record
        Damaged,  // records that cannot all be true, or an archive spread over several disks
    };

    // tail holds the archive's last tail.size() bytes; archiveLength is the archive's length.
    static ZipDirectory parse(QByteArrayView tail, qint64 archiveLength);
    // The directory of the archive file at path.
    static ZipDirectory read(const QString &path);

    Status status() const { return m_status; }
    qint64 needFrom() const { return m_needFrom; }
    const QList<ZipEntry> &entries() const { return m_entries; }
    // Where the central directory starts: the end of the entries' data.
    qint64 directoryOffset() const { return m_directoryOffset; }

    // Each entry's extent, in the order of entries(): from its local header to the next local
    // header or the directory. The local header's extra field and a data descriptor, neither of
    // which the directory tells, lie inside it.
    QList<ZipExtent> extents() const;

private:
    Status parseEnd(QByteArrayView tail, qint64 archiveLength);
    Status parseEntries(QByteArrayView bytes, qint64 count, qint64 size);
    Status checkExtents();

    Status m_status = NotZip;
    qint64 m_needFrom = 0;
    qint64 m_directoryOffset = 0;
    QList<ZipEntry> m_entries;
};

// A local header read from the bytes at an entry's local header offset.
struct ZipLocalHeader
{
    enum Verdict {
        Matches,
        Short,     // the bytes end before the header does
        NotHeader, // no local header signature
        Differs,   // name, method, descriptor flag, or (without a descriptor) CRC or sizes
    };

    // The verdict on the header at the start of bytes against its central entry. On Matches,
    // dataOffset is where the entry's data starts and length where its bytes end at the most,
    // both counted from the header's start: the data and, with bit 3, a data descriptor of 12 or
    // 16 bytes, 20 or 24 with ZIP64 sizes (the local header's ZIP64 field tells which).
    static Verdict check(QByteArrayView bytes, const ZipEntry &entry, qint64 *dataOffset,
                         qint64 *length);
};
