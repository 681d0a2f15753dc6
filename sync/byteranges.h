#pragma once

#include "extract/rangeplan.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QtGlobal>

#include <optional>

// The answer to a range request. Several ranges come as a multipart/byteranges body, read here
// piece by piece as it arrives, so a large part is never held whole; the parts may come in any
// order, each named by its Content-Range. One range comes as a plain 206 with a Content-Range.
class ByteRangesReader
{
public:
    // A run of the file's bytes: the bytes from offset on.
    struct Piece
    {
        qint64 offset = 0;
        QByteArray bytes;
    };

    // The boundary of a multipart/byteranges Content-Type, quoted or not; empty for another type.
    static QByteArray boundaryOf(QByteArrayView contentType);
    // "bytes a-b/total" of a file of the given total length: [a, b + 1). None when malformed,
    // for another length ("*" included), or reaching past the end.
    static std::optional<ByteRange> parseContentRange(QByteArrayView value, qint64 total);
    // The range a single-part 206 answer holds, when it lies within one of those asked.
    static std::optional<ByteRange> singlePart(QByteArrayView contentRange,
                                               const QList<ByteRange> &requested, qint64 total);
    // What the answer to a request for the requested ranges holds, by its status and headers.
    enum class Answer {
        Parts,    // a multipart/byteranges body, to be read with a ByteRangesReader
        OnePart,  // the bytes of one range, or part of one, which singlePart() names
        Whole,    // the whole file: the server ignores ranges, or the file changed (If-Range)
        Unusable, // a refusal (416), or a 206 that names nothing asked for
    };
    static Answer answer(int status, QByteArrayView contentType, QByteArrayView contentRange,
                         const QList<ByteRange> &requested, qint64 total);
    // The parts of wanted not in got.
    static QList<ByteRange> subtract(const QList<ByteRange> &wanted, QList<ByteRange> got);

    ByteRangesReader(const QByteArray &boundary, const QList<ByteRange> &requested, qint64 total);

    // Reads the next bytes of the body, appending the file's bytes it completes to pieces. False
    // once the body proved malformed: a part outside the ranges asked, one overlapping another,
    // a wrong total, a part longer or shorter than its Content-Range, a header block too long.
    bool feed(QByteArrayView chunk, QList<Piece> &pieces);
    // After the body's end: true when it was well formed and closed by the closing boundary.
    bool finish() const { return m_state == Closed; }
    bool failed() const { return m_state == Failed; }
    // The ranges whose bytes were handed over, in the order of the parts.
    const QList<ByteRange> &received() const { return m_received; }
    // The parts of the ranges asked that no part held: to be asked for again.
    QList<ByteRange> missing() const { return subtract(m_requested, m_received); }

private:
    enum State { Preamble, AfterBoundary, Headers, Body, Delimiter, Closed, Failed };
    bool step(qsizetype &at, QList<Piece> &pieces);
    bool fail();
    bool startPart(QByteArrayView headers);

    QByteArray m_dashBoundary; // "--boundary"
    QList<ByteRange> m_requested;
    qint64 m_total;
    QList<ByteRange> m_received;
    QByteArray m_buffer;
    State m_state = Preamble;
    qint64 m_offset = 0;
    qint64 m_remaining = 0;
};
