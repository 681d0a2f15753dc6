#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

class QNetworkReply;

// The HTTP decisions of an archive download, as pure functions of what was asked and what the
// server answered: what to ask for, whether a file on disk may be continued or used, and what an
// answer means. Nothing here touches the network or the disk.
namespace TransferProtocol {

// What a reply's headers say, as far as these decisions go.
struct Answer
{
    int status = 0;
    qint64 length = -1;        // Content-Length; -1 when absent
    QByteArray contentRange;   // as sent
    QByteArray validator;      // a strong ETag, else Last-Modified; empty for a weak ETag or none
    QByteArray encoding;       // Content-Encoding, as sent
    QByteArray acceptRanges;   // Accept-Ranges, as sent
    QByteArray transferCoding; // Transfer-Encoding, as sent

    static Answer of(const QNetworkReply &reply);
};

// The one encoding rule: a body is the file's bytes as they are only without a content coding
// (none, or "identity"); only such a body can be continued, measured or cut into ranges.
bool isIdentity(const QByteArray &contentEncoding);

// The validator a later request may name in If-Range: a strong ETag, or else Last-Modified.
QByteArray validatorOf(const QByteArray &etag, const QByteArray &lastModified);

// The archive's size, from a HEAD: only a successful answer (2xx) with a length tells it.
std::optional<qint64> sizeFromHead(const Answer &head);

// Whether an answer to a whole GET may be continued later: a length, a validator, byte ranges
// offered, no content coding.
bool isResumable(const Answer &answer);

// What the launcher knows of an archive file on disk from an earlier attempt.
struct Held
{
    qint64 bytes = 0;     // the file's size
    qint64 length = 0;    // the record's: the archive's whole length
    QString url;          // the record's: the address it was downloaded from
    QString commit;       // the record's: the commit it was downloaded for
    QByteArray validator; // the record's
};

// Where a download starts, given what is held (none: no usable record), the address and commit
// wanted, and the HEAD's answer (a failed HEAD has status 0).
struct Start
{
    enum Kind {
        Fresh,    // from the first byte; whatever is held goes
        Continue, // Range from `from`, with If-Range `validator`; the answer decides
        Complete, // the held file is the whole archive: install it
    } kind = Fresh;
    qint64 from = 0;
    qint64 total = -1; // the length the answer must give, -1 when unknown
    QByteArray validator;
};
Start start(const std::optional<Held> &held, const QString &url, const QString &commit,
            const Answer &head);

// What an answer to the archive's GET means, decided on its headers before any byte of its body
// is stored. offset: where the request asked to continue (0: a whole GET); total: the length
// expected, -1 when unknown; validator: the If-Range sent.
enum class Meaning {
    Wait,         // no status yet, or a redirection on the way
    Append,       // the missing bytes of the held file: appended
    Whole,        // the whole archive from its first byte: the held bytes are replaced
    RestartNow,   // a part that does not fit: ended now, the archive asked again from its start
    RestartAtEnd, // 416: the short answer ends by itself, then the archive is asked again whole
    ErrorPage,    // an error answer: its body is no part of the archive
};
Meaning meaning(const Answer &answer, qint64 offset, qint64 total, const QByteArray &validator);

// Whether a body that ended without an error ended short of the length it announced. Only an
// unencoded body can be measured, and a chunked one announces none.
bool endedShort(const Answer &answer, qint64 bodyBytes);

} // namespace TransferProtocol
