#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// A run of bytes of a file: [begin, end).
struct ByteRange
{
    qint64 begin = 0;
    qint64 end = 0;

    qint64 size() const { return end - begin; }
    bool contains(const ByteRange &other) const { return begin <= other.begin && other.end <= end; }
    friend bool operator==(const ByteRange &a, const ByteRange &b)
    {
        return a.begin == b.begin && a.end == b.end;
    }
};

// How the pieces of a file are asked for by range requests: runs of wanted bytes with short gaps
// between them become one range (a gap costs less than another part, or another request), and at
// most a few dozen ranges go in one request, which servers limit.
namespace RangePlan {

// Ranges closer than this are fetched as one, the gap with them.
inline constexpr qint64 mergeGap = 64 * 1024;
inline constexpr int maxRangesPerRequest = 32;

// The ranges sorted, overlapping, touching and nearly touching ones (gap below mergeGap) joined,
// empty ones dropped.
QList<ByteRange> merge(QList<ByteRange> ranges, qint64 gap = mergeGap);
// The ranges in requests of at most maxRanges each, in order.
QList<QList<ByteRange>> group(const QList<ByteRange> &ranges, int maxRanges = maxRangesPerRequest);
qint64 totalSize(const QList<ByteRange> &ranges);
// The value of a Range header asking for the ranges: "bytes=0-9,100-199".
QByteArray header(const QList<ByteRange> &ranges);

} // namespace RangePlan
