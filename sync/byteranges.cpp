#include "sync/byteranges.h"

#include <algorithm>

namespace {

// Beyond this, what precedes a part's bytes is no header block a server would send.
constexpr qsizetype maxHeaderSize = 8 * 1024;

// A decimal number of digits only, no sign or blanks, that fits.
std::optional<qint64> number(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 18
        || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return text.toLongLong();
}

} // namespace

QByteArray ByteRangesReader::boundaryOf(QByteArrayView contentType)
{
    const QList<QByteArray> fields = contentType.toByteArray().split(';');
    if (fields.first().trimmed().toLower() != "multipart/byteranges")
        return {};
    for (const QByteArray &field : fields.mid(1)) {
        const qsizetype equals = field.indexOf('=');
        if (equals < 0 || field.left(equals).trimmed().toLower() != "boundary")
            continue;
        QByteArray value = field.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return {};
}

std::optional<ByteRange> ByteRangesReader::parseContentRange(QByteArrayView value, qint64 total)
{
    const QByteArray text = value.toByteArray().trimmed();
    if (!text.toLower().startsWith("bytes "))
        return std::nullopt;
    const QByteArray range = text.mid(6).trimmed();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (dash < 0 || slash < dash)
        return std::nullopt;
    const auto first = number(QByteArrayView(range).first(dash));
    const auto last = number(QByteArrayView(range).sliced(dash + 1, slash - dash - 1));
    const auto length = number(QByteArrayView(range).sliced(slash + 1));
    if (!first || !last || !length || *length != total || *first > *last || *last >= total)
        return std::nullopt;
    return ByteRange{*first, *last + 1};
}

std::optional<ByteRange> ByteRangesReader::singlePart(QByteArrayView contentRange,
                                                      const QList<ByteRange> &requested,
                                                      qint64 total)
{
    const std::optional<ByteRange> range = parseContentRange(contentRange, total);
    if (range && std::any_of(requested.begin(), requested.end(), [&](const ByteRange &asked) {
            return asked.contains(*range);
        }))
        return range;
    return std::nullopt;
}

ByteRangesReader::Answer ByteRangesReader::answer(int status, QByteArrayView contentType,
                                                  QByteArrayView contentRange,
                                                  const QList<ByteRange> &requested, qint64 total)
{
    if (status == 200)
        return Answer::Whole;
    if (status != 206)
        return Answer::Unusable;
    if (!boundaryOf(contentType).isEmpty())
        return Answer::Parts;
    return singlePart(contentRange, requested, total) ? Answer::OnePart : Answer::Unusable;
}

QList<ByteRange> ByteRangesReader::subtract(const QList<ByteRange> &wanted, QList<ByteRange> got)
{
    std::sort(got.begin(), got.end(),
              [](const ByteRange &a, const ByteRange &b) { return a.begin < b.begin; });
    QList<ByteRange> left;
    for (ByteRange rest : wanted) {
        for (const ByteRange &have : got) {
            if (have.end <= rest.begin || have.begin >= rest.end)
                continue;
            if (have.begin > rest.begin)
                left.append({rest.begin, have.begin});
            rest.begin = have.end; // past rest.end when have covers the rest
        }
        if (rest.size() > 0)
            left.append(rest);
    }
    return left;
}

ByteRangesReader::ByteRangesReader(const QByteArray &boundary, const QList<ByteRange> &requested,
                                   qint64 total)
    : m_dashBoundary("--" + boundary), m_requested(requested), m_total(total)
{
    if (boundary.isEmpty())
        m_state = Failed;
}

bool ByteRangesReader::feed(QByteArrayView chunk, QList<Piece> &pieces)
{
    if (m_state == Failed)
        return false;
    m_buffer.append(chunk);
    qsizetype at = 0;
    while (step(at, pieces)) {
    }
    m_buffer.remove(0, at);
    if (m_state != Closed && m_state != Body && m_buffer.size() > maxHeaderSize)
        return fail();
    if (m_state == Closed)
        m_buffer.clear(); // the epilogue, which means nothing
    return m_state != Failed;
}

bool ByteRangesReader::fail()
{
    m_state = Failed;
    m_buffer.clear();
    return false;
}

// One step of the body from at on; false when it needs more bytes, is closed or failed.
bool ByteRangesReader::step(qsizetype &at, QList<Piece> &pieces)
{
    const QByteArrayView rest = QByteArrayView(m_buffer).sliced(at);
    switch (m_state) {
    case Preamble: {
        // The first boundary starts the body or a line of the preamble (kept whole in the buffer
        // until then, so the buffer starts where the body does).
        for (qsizetype found = rest.indexOf(m_dashBoundary); found >= 0;
             found = rest.indexOf(m_dashBoundary, found + 1)) {
            if (found == 0 || (found >= 2 && rest.sliced(found - 2, 2) == "\r\n")) {
                at += found + m_dashBoundary.size();
                m_state = AfterBoundary;
                return true;
            }
        }
        return false;
    }
    case AfterBoundary: {
        if (rest.size() < 2)
            return false;
        if (rest.first(2) == "--") {
            at += 2;
            m_state = Closed;
            return false;
        }
        const qsizetype end = rest.indexOf("\r\n");
        if (end < 0)
            return false;
        // Only blanks may pad the boundary line.
        if (!std::all_of(rest.begin(), rest.begin() + end,
                         [](char c) { return c == ' ' || c == '\t'; }))
            return fail();
        at += end + 2;
        m_state = Headers;
        return true;
    }
    case Headers: {
        if (rest.size() >= 2 && rest.first(2) == "\r\n")
            return fail(); // no Content-Range
        const qsizetype end = rest.indexOf("\r\n\r\n");
        if (end < 0)
            return false;
        at += end + 4;
        return startPart(rest.first(end));
    }
    case Body: {
        const qint64 count = qMin<qint64>(m_remaining, rest.size());
        if (count == 0)
            return false;
        pieces.append({m_offset, rest.first(count).toByteArray()});
        at += count;
        m_offset += count;
        m_remaining -= count;
        if (m_remaining == 0)
            m_state = Delimiter;
        return true;
    }
    case Delimiter: {
        const qsizetype size = 2 + m_dashBoundary.size();
        if (rest.size() < size)
            return rest == QByteArrayView("\r\n" + m_dashBoundary).first(rest.size()) ? false
                                                                                      : fail();
        if (rest.first(2) != "\r\n" || rest.sliced(2, m_dashBoundary.size()) != m_dashBoundary)
            return fail(); // the part is longer than its Content-Range says
        at += size;
        m_state = AfterBoundary;
        return true;
    }
    case Closed:
    case Failed:
        return false;
    }
    return false;
}

bool ByteRangesReader::startPart(QByteArrayView headers)
{
    std::optional<ByteRange> range;
    for (const QByteArray &line : headers.toByteArray().split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || line.left(colon).trimmed().toLower() != "content-range")
            continue;
        if (range)
            return fail(); // two of them
        range = parseContentRange(QByteArrayView(line).sliced(colon + 1), m_total);
        if (!range)
            return fail();
    }
    const auto overlaps = [&](const ByteRange &other) {
        return other.begin < range->end && range->begin < other.end;
    };
    if (!range
        || std::none_of(m_requested.begin(), m_requested.end(),
                        [&](const ByteRange &asked) { return asked.contains(*range); })
        || std::any_of(m_received.begin(), m_received.end(), overlaps))
        return fail();
    m_received.append(*range);
    m_offset = range->begin;
    m_remaining = range->size();
    m_state = Body;
    return true;
}
