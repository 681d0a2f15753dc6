#include "extract/zipdirectory.h"

#include "extract/zipformat.h"

#include <QFile>

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <numeric>

namespace {

using namespace ZipFormat;

quint16 u16(QByteArrayView bytes, qint64 at)
{
    return le16(bytes.data() + at);
}
quint32 u32(QByteArrayView bytes, qint64 at)
{
    return le32(bytes.data() + at);
}
quint64 u64(QByteArrayView bytes, qint64 at)
{
    return le64(bytes.data() + at);
}

// The ZIP64 extra field's 64-bit values in order, for the fields that the record leaves at
// 0xFFFFFFFF; false when the extra field lacks one of them.
bool readZip64(QByteArrayView extra, std::initializer_list<quint64 *> wanted)
{
    for (qint64 at = 0; at + 4 <= extra.size();) {
        const quint16 id = u16(extra, at);
        const qint64 size = u16(extra, at + 2);
        const QByteArrayView data = extra.sliced(at + 4, qMin(size, extra.size() - at - 4));
        at += 4 + size;
        if (id != zip64Tag)
            continue;
        qint64 next = 0;
        for (quint64 *field : wanted) {
            if (*field != zip64Marker)
                continue;
            if (next + 8 > data.size())
                return false;
            *field = u64(data, next);
            next += 8;
        }
        return true;
    }
    return std::all_of(wanted.begin(), wanted.end(), [](quint64 *f) { return *f != zip64Marker; });
}

bool isSeparator(QChar c)
{
    return c == u'/' || c == u'\\';
}

} // namespace

bool ZipEntry::isFolder() const
{
    return name.isEmpty() || isSeparator(name.back());
}

ZipDirectory ZipDirectory::parse(QByteArrayView tail, qint64 archiveLength)
{
    ZipDirectory directory;
    if (archiveLength < endRecordSize || tail.size() > archiveLength)
        directory.m_status = NotZip;
    else
        directory.m_status = directory.parseEnd(tail, archiveLength);
    if (directory.m_status != Parsed)
        directory.m_entries.clear();
    return directory;
}

ZipDirectory ZipDirectory::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 length = file.size();
    // Most directories fit in the last 256 KiB; a larger one is read again from its start.
    qint64 from = qMax<qint64>(0, length - 256 * 1024);
    for (int pass = 0; pass < 2 && file.seek(from); ++pass) {
        const ZipDirectory directory = parse(file.read(length - from), length);
        if (directory.status() != NeedMore)
            return directory;
        from = directory.needFrom();
    }
    return {};
}

ZipDirectory::Status ZipDirectory::parseEnd(QByteArrayView tail, qint64 archiveLength)
{
    const qint64 tailStart = archiveLength - tail.size();
    // The end record is the last one whose comment reaches exactly to the end of the archive.
    qint64 end = -1;
    for (qint64 at = tail.size() - endRecordSize;
         at >= 0 && tail.size() - at <= endRecordSize + maxCommentSize; --at) {
        if (u32(tail, at) == endSignature
            && u16(tail, at + 20) == tail.size() - at - endRecordSize) {
            end = at;
            break;
        }
    }
    if (end < 0) {
        const qint64 searchStart = qMax<qint64>(0, archiveLength - endRecordSize - maxCommentSize);
        if (tailStart > searchStart) {
            m_needFrom = searchStart;
            return NeedMore;
        }
        return NotZip;
    }

    quint64 disk = u16(tail, end + 4);
    quint64 directoryDisk = u16(tail, end + 6);
    quint64 countOnDisk = u16(tail, end + 8);
    quint64 count = u16(tail, end + 10);
    quint64 size = u32(tail, end + 12);
    quint64 offset = u32(tail, end + 16);
    qint64 directoryEnd = tailStart + end;

    // A ZIP64 locator right before the end record names the ZIP64 end record, whose fields count.
    // Unseen, it is asked for with the directory the end record names, which comes before it.
    if (tailStart + end >= zip64LocatorSize && end < zip64LocatorSize) {
        m_needFrom = tailStart + end - zip64LocatorSize;
        if (offset != zip64Marker)
            m_needFrom = qMin<qint64>(m_needFrom, offset);
        return NeedMore;
    }
    const qint64 locator = end - zip64LocatorSize;
    if (locator >= 0 && u32(tail, locator) == zip64LocatorSignature) {
        const quint64 record = u64(tail, locator + 8);
        const qint64 locatorOffset = tailStart + locator;
        if (u32(tail, locator + 4) != 0 || u32(tail, locator + 16) > 1
            || locatorOffset < zip64EndSize || record > quint64(locatorOffset - zip64EndSize))
            return Damaged;
        if (qint64(record) < tailStart) {
            m_needFrom = qint64(record);
            return NeedMore;
        }
        const qint64 at = qint64(record) - tailStart;
        if (u32(tail, at) != zip64EndSignature || u64(tail, at + 4) < zip64EndSize - 12)
            return Damaged;
        disk = u32(tail, at + 16);
        directoryDisk = u32(tail, at + 20);
        countOnDisk = u64(tail, at + 24);
        count = u64(tail, at + 32);
        size = u64(tail, at + 40);
        offset = u64(tail, at + 48);
        directoryEnd = qint64(record);
    }
    if (disk != 0 || directoryDisk != 0 || countOnDisk != count)
        return Damaged;
    if (offset > quint64(directoryEnd) || size > quint64(directoryEnd) - offset
        || count > size / centralRecordSize)
        return Damaged;
    m_directoryOffset = qint64(offset);
    if (m_directoryOffset < tailStart) {
        m_needFrom = m_directoryOffset;
        return NeedMore;
    }
    const Status status = parseEntries(tail.sliced(m_directoryOffset - tailStart, qint64(size)),
                                       qint64(count), qint64(size));
    return status == Parsed ? checkExtents() : status;
}

ZipDirectory::Status ZipDirectory::parseEntries(QByteArrayView bytes, qint64 count, qint64 size)
{
    m_entries.reserve(count);
    qint64 at = 0;
    for (qint64 i = 0; i < count; ++i) {
        if (at + centralRecordSize > size || u32(bytes, at) != centralSignature)
            return Damaged;
        const qint64 nameSize = u16(bytes, at + 28);
        const qint64 extraSize = u16(bytes, at + 30);
        const qint64 recordSize = centralRecordSize + nameSize + extraSize + u16(bytes, at + 32);
        if (at + recordSize > size)
            return Damaged;
        ZipEntry entry;
        entry.versionMadeBy = u16(bytes, at + 4);
        entry.flags = u16(bytes, at + 8);
        entry.method = u16(bytes, at + 10);
        entry.crc32 = u32(bytes, at + 16);
        quint64 compressed = u32(bytes, at + 20);
        quint64 uncompressed = u32(bytes, at + 24);
        quint64 disk = u16(bytes, at + 34);
        entry.externalAttributes = u32(bytes, at + 38);
        quint64 offset = u32(bytes, at + 42);
        entry.rawName = bytes.sliced(at + centralRecordSize, nameSize).toByteArray();
        const qsizetype nul = entry.rawName.indexOf('\0');
        entry.name = QString::fromUtf8(nul < 0 ? entry.rawName : entry.rawName.left(nul));
        // The disk number is 16 bits wide: it stands for a ZIP64 field at 0xFFFF.
        if (disk == 0xFFFF)
            disk = zip64Marker;
        if (!readZip64(bytes.sliced(at + centralRecordSize + nameSize, extraSize),
                       {&uncompressed, &compressed, &offset, &disk})
            || disk != 0 || compressed > quint64(m_directoryOffset)
            || uncompressed > quint64(std::numeric_limits<qint64>::max())
            || offset >= quint64(m_directoryOffset))
            return Damaged;
        entry.compressedSize = qint64(compressed);
        entry.uncompressedSize = qint64(uncompressed);
        entry.localHeaderOffset = qint64(offset);
        m_entries.append(entry);
        at += recordSize;
    }
    return at == size ? Parsed : Damaged;
}

// Every entry's local header and data, at their smallest, end before the next entry starts
// and before the directory.
ZipDirectory::Status ZipDirectory::checkExtents()
{
    QList<qsizetype> order(m_entries.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [this](qsizetype a, qsizetype b) {
        return m_entries.at(a).localHeaderOffset < m_entries.at(b).localHeaderOffset;
    });
    for (qsizetype i = 0; i < order.size(); ++i) {
        const ZipEntry &entry = m_entries.at(order.at(i));
        const qint64 limit = i + 1 < order.size() ? m_entries.at(order.at(i + 1)).localHeaderOffset
                                                  : m_directoryOffset;
        const qint64 smallest = localHeaderSize + entry.rawName.size() + entry.compressedSize
                                + (entry.hasDataDescriptor() ? 12 : 0);
        if (smallest > limit - entry.localHeaderOffset)
            return Damaged;
    }
    return Parsed;
}

QList<ZipExtent> ZipDirectory::extents() const
{
    QList<qint64> starts;
    starts.reserve(m_entries.size());
    for (const ZipEntry &entry : m_entries)
        starts.append(entry.localHeaderOffset);
    std::sort(starts.begin(), starts.end());
    QList<ZipExtent> extents;
    extents.reserve(m_entries.size());
    for (const ZipEntry &entry : m_entries) {
        const auto next = std::upper_bound(starts.cbegin(), starts.cend(), entry.localHeaderOffset);
        extents.append(
            {entry.localHeaderOffset, next == starts.cend() ? m_directoryOffset : *next});
    }
    return extents;
}

ZipLocalHeader::Verdict ZipLocalHeader::check(QByteArrayView bytes, const ZipEntry &entry,
                                              qint64 *dataOffset, qint64 *length)
{
    if (bytes.size() < 4)
        return Short;
    if (u32(bytes, 0) != localSignature)
        return NotHeader;
    if (bytes.size() < localHeaderSize)
        return Short;
    const quint16 flags = u16(bytes, 6);
    const quint32 crc = u32(bytes, 14);
    quint64 compressed = u32(bytes, 18);
    quint64 uncompressed = u32(bytes, 22);
    const qint64 nameSize = u16(bytes, 26);
    const qint64 headerSize = localHeaderSize + nameSize + u16(bytes, 28);
    if (bytes.size() < headerSize)
        return Short;
    // The local ZIP64 field holds both sizes whenever either is too large.
    const bool zip64 = compressed == zip64Marker || uncompressed == zip64Marker;
    if (zip64) {
        compressed = uncompressed = zip64Marker;
        if (!readZip64(bytes.sliced(localHeaderSize + nameSize,
                                    headerSize - localHeaderSize - nameSize),
                       {&uncompressed, &compressed}))
            return Differs;
    }
    const bool descriptor = entry.hasDataDescriptor();
    if (bytes.sliced(localHeaderSize, nameSize) != entry.rawName || u16(bytes, 8) != entry.method
        || (flags & dataDescriptorFlag) != (entry.flags & dataDescriptorFlag)
        || (!descriptor
            && (crc != entry.crc32 || compressed != quint64(entry.compressedSize)
                || uncompressed != quint64(entry.uncompressedSize))))
        return Differs;
    *dataOffset = headerSize;
    *length = headerSize + entry.compressedSize + (descriptor ? (zip64 ? 24 : 16) : 0);
    return Matches;
}
