#include "sync/transferprotocol.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QVariant>

namespace TransferProtocol {

namespace {

// "bytes first-last/total", all three numbers.
struct ContentRange
{
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
};

std::optional<ContentRange> parseContentRange(const QByteArray &text)
{
    const QByteArray range = text.trimmed();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (!range.startsWith("bytes ") || dash < 0 || slash < dash)
        return std::nullopt;
    bool ok[3] = {};
    ContentRange parsed{range.mid(6, dash - 6).trimmed().toLongLong(&ok[0]),
                        range.mid(dash + 1, slash - dash - 1).toLongLong(&ok[1]),
                        range.mid(slash + 1).toLongLong(&ok[2])};
    if (!ok[0] || !ok[1] || !ok[2] || parsed.first < 0 || parsed.last < parsed.first
        || parsed.total <= parsed.last)
        return std::nullopt;
    return parsed;
}

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

// A 206 continues the held file only with exactly its missing bytes of the same file.
bool fits(const Answer &answer, qint64 offset, qint64 total, const QByteArray &validator)
{
    const std::optional<ContentRange> range = parseContentRange(answer.contentRange);
    return range && range->first == offset && range->last == range->total - 1
           && (total < 0 || range->total == total)
           && (answer.length < 0 || answer.length == range->total - range->first)
           && (answer.validator.isEmpty() || answer.validator == validator)
           && isIdentity(answer.encoding);
}

} // namespace

Answer Answer::of(const QNetworkReply &reply)
{
    Answer answer;
    answer.status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    answer.length = length.isValid() ? length.toLongLong() : -1;
    answer.contentRange = reply.rawHeader("Content-Range");
    answer.validator = validatorOf(reply.hasRawHeader("ETag") ? reply.rawHeader("ETag")
                                                              : QByteArray(),
                                   reply.rawHeader("Last-Modified"));
    answer.encoding = reply.rawHeader("Content-Encoding");
    answer.acceptRanges = reply.rawHeader("Accept-Ranges");
    answer.transferCoding = reply.rawHeader("Transfer-Encoding");
    return answer;
}

bool isIdentity(const QByteArray &contentEncoding)
{
    const QByteArray coding = contentEncoding.trimmed().toLower();
    return coding.isEmpty() || coding == "identity";
}

QByteArray validatorOf(const QByteArray &etag, const QByteArray &lastModified)
{
    const QByteArray tag = etag.trimmed();
    if (!tag.isEmpty())
        return tag.startsWith("W/") ? QByteArray() : tag;
    return lastModified.trimmed();
}

std::optional<qint64> sizeFromHead(const Answer &head)
{
    if (!isSuccess(head.status) || head.length < 0)
        return std::nullopt;
    return head.length;
}

bool isResumable(const Answer &answer)
{
    return !answer.validator.isEmpty() && answer.length > 0
           && answer.acceptRanges.trimmed().toLower() == "bytes" && isIdentity(answer.encoding);
}

Start start(const std::optional<Held> &held, const QString &url, const QString &commit,
            const Answer &head)
{
    const std::optional<qint64> size = sizeFromHead(head);
    const Start fresh{Start::Fresh, 0, size.value_or(-1), {}};
    if (!held || held->url != url || held->commit != commit || held->validator.isEmpty()
        || held->bytes <= 0 || held->bytes > held->length)
        return fresh;
    const Start rest{Start::Continue, held->bytes, held->length, held->validator};
    if (!size) {
        // The server did not say: the GET asks for the rest, and its answer decides. A file held
        // whole is asked for its last byte, which proves it the same file or not.
        return held->bytes < held->length
                   ? rest
                   : Start{Start::Continue, held->bytes - 1, held->length, held->validator};
    }
    if (*size != held->length || (!head.validator.isEmpty() && head.validator != held->validator))
        return fresh;
    if (held->bytes < held->length)
        return rest;
    // Nothing is left to ask for: only the HEAD's validator can prove the file the same.
    return head.validator == held->validator
               ? Start{Start::Complete, held->bytes, held->length, held->validator}
               : fresh;
}

Meaning meaning(const Answer &answer, qint64 offset, qint64 total, const QByteArray &validator)
{
    const int status = answer.status;
    if (status == 0 || (status >= 300 && status < 400))
        return Meaning::Wait;
    if (offset == 0)
        return isSuccess(status) ? Meaning::Whole : Meaning::ErrorPage;
    if (status == 206)
        return fits(answer, offset, total, validator) ? Meaning::Append : Meaning::RestartNow;
    if (status == 416)
        return Meaning::RestartAtEnd;
    // The server ignores ranges or has another file: the whole body follows.
    return status == 200 ? Meaning::Whole : Meaning::ErrorPage;
}

bool endedShort(const Answer &answer, qint64 bodyBytes)
{
    if (answer.length < 0 || !isIdentity(answer.encoding)
        || answer.transferCoding.toLower().contains("chunked"))
        return false;
    return bodyBytes < answer.length;
}

} // namespace TransferProtocol
