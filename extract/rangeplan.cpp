#include "extract/rangeplan.h"

#include <algorithm>

QList<ByteRange> RangePlan::merge(QList<ByteRange> ranges, qint64 gap)
{
    ranges.removeIf([](const ByteRange &range) { return range.size() <= 0; });
    std::sort(ranges.begin(), ranges.end(),
              [](const ByteRange &a, const ByteRange &b) { return a.begin < b.begin; });
    QList<ByteRange> merged;
    for (const ByteRange &range : ranges) {
        if (!merged.isEmpty() && range.begin - merged.last().end < gap)
            merged.last().end = qMax(merged.last().end, range.end);
        else
            merged.append(range);
    }
    return merged;
}

QList<QList<ByteRange>> RangePlan::group(const QList<ByteRange> &ranges, int maxRanges)
{
    QList<QList<ByteRange>> groups;
    for (qsizetype at = 0; at < ranges.size(); at += maxRanges)
        groups.append(ranges.mid(at, maxRanges));
    return groups;
}

qint64 RangePlan::totalSize(const QList<ByteRange> &ranges)
{
    qint64 total = 0;
    for (const ByteRange &range : ranges)
        total += range.size();
    return total;
}

QByteArray RangePlan::header(const QList<ByteRange> &ranges)
{
    QByteArray value = "bytes=";
    for (const ByteRange &range : ranges) {
        if (&range != &ranges.first())
            value += ',';
        value += QByteArray::number(range.begin) + '-' + QByteArray::number(range.end - 1);
    }
    return value;
}
