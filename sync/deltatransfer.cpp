#include "sync/deltatransfer.h"

#include "extract/diskspace.h"
#include "extract/rangedarchive.h"
#include "sync/transferprotocol.h"
#include "sync/watchedrequest.h"

#include <QDebug>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QVariant>

#include <utility>

using TransferProtocol::Answer;

namespace {

// The first look at the archive's end: the end record and, for most repositories, the whole
// central directory. A larger directory is asked for once its size is known.
constexpr qint64 tailBytes = 64 * 1024;
constexpr qint64 readBufferSize = 1024 * 1024;

bool offersRanges(const Answer &head)
{
    return head.status >= 200 && head.status < 300 && head.length > 0
           && head.acceptRanges.trimmed().toLower() == "bytes" && !head.validator.isEmpty()
           && TransferProtocol::isIdentity(head.encoding);
}

QList<QList<ByteRange>> oneAtATime(const QList<ByteRange> &ranges)
{
    QList<QList<ByteRange>> requests;
    for (const ByteRange &range : ranges)
        requests.append({range});
    return requests;
}

} // namespace

DeltaTransfer::DeltaTransfer(QNetworkAccessManager *network, const QUrl &url, InstallIndex index,
                             const QString &installRoot, const QStringList &alsoFetch,
                             const QString &piecesPath, QObject *parent)
    : QObject(parent),
      m_network(network),
      m_url(url),
      m_index(std::move(index)),
      m_installRoot(installRoot),
      m_piecesPath(piecesPath),
      m_pieces(std::make_shared<FetchedPieces>())
{
    // A file that failed a check is fetched as if the index had never known it.
    m_index.entries.removeIf(
        [&alsoFetch](const InstallIndex::Entry &entry) { return alsoFetch.contains(entry.name); });
}

DeltaTransfer::~DeltaTransfer() = default;

void DeltaTransfer::start()
{
    QNetworkReply *head = WatchedRequest::head(m_network, QNetworkRequest(m_url));
    connect(head, &QNetworkReply::finished, this, [this, head] { headFinished(head); });
}

void DeltaTransfer::headFinished(QNetworkReply *head)
{
    head->deleteLater();
    const Answer answer = Answer::of(*head);
    if (!offersRanges(answer)) {
        fallBack(QStringLiteral("the server offers no byte ranges with a validator"));
        return;
    }
    m_pieces->archiveLength = answer.length;
    m_pieces->validator = answer.validator;
    m_pieces->archive = std::make_unique<RangedArchive>(m_piecesPath, answer.length);
    m_stage = Stage::Tail;
    m_tailFrom = qMax<qint64>(0, answer.length - tailBytes);
    m_queue = {{{m_tailFrom, answer.length}}};
    m_maxRequests = 4;
    sendNext();
}

void DeltaTransfer::sendNext()
{
    if (m_queue.isEmpty()) {
        requestDone();
        return;
    }
    if (++m_requests > m_maxRequests) {
        fallBack(QStringLiteral("the server answers too few ranges at a time"));
        return;
    }
    m_asked = m_queue.takeFirst();
    QNetworkRequest request(m_url);
    request.setRawHeader("Range", RangePlan::header(m_asked));
    request.setRawHeader("If-Range", m_pieces->validator);
    // Ranges of an encoded body would not be the archive's bytes.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setRawHeader("Cache-Control", "no-cache");
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    m_reply = WatchedRequest::get(m_network, request, readBufferSize);
    m_body = Body::Undecided;
    m_parts.reset();
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &DeltaTransfer::headersArrived);
    connect(m_reply, &QNetworkReply::readyRead, this, &DeltaTransfer::receive);
    connect(m_reply, &QNetworkReply::finished, this, &DeltaTransfer::replyFinished);
}

// Decides, before any byte of the body is stored, what the answer holds.
void DeltaTransfer::headersArrived()
{
    if (m_body != Body::Undecided || !m_reply)
        return;
    const Answer answer = Answer::of(*m_reply);
    if (answer.status == 0 || (answer.status >= 300 && answer.status < 400))
        return; // a redirection on the way
    const qint64 length = m_pieces->archiveLength;
    const QByteArray contentType =
        m_reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    // Every answer must be of the archive the directory was read from: never two versions.
    const bool sameArchive = answer.validator.isEmpty() || answer.validator == m_pieces->validator;
    switch (ByteRangesReader::answer(answer.status, contentType, answer.contentRange, m_asked,
                                     length)) {
    case ByteRangesReader::Answer::Whole:
        if (m_asked.size() > 1) {
            // Servers that limit the ranges of a request send the whole file instead.
            askOneAtATime();
            return;
        }
        if (answer.validator == m_pieces->validator && answer.length == length
            && TransferProtocol::isIdentity(answer.encoding)) {
            qDebug() << "Delta update: the server sent the whole archive, taking it as the "
                        "download";
            QNetworkReply *reply = m_reply;
            reply->disconnect(this);
            m_reply = nullptr;
            end({DeltaOutcome::WholeAnswer, {}, false, {}, reply, length});
            return;
        }
        fallBack(QStringLiteral("the archive changed on the server"));
        return;
    case ByteRangesReader::Answer::Unusable:
        if (answer.status >= 400 && answer.status != 416) {
            fallBack(QStringLiteral("server answered %1").arg(answer.status));
            return;
        }
        if (m_asked.size() > 1) {
            // Some servers refuse many ranges at once.
            askOneAtATime();
            return;
        }
        fallBack(QStringLiteral("the server refused a range"));
        return;
    case ByteRangesReader::Answer::Parts:
        m_body = Body::Parts;
        m_parts.emplace(ByteRangesReader::boundaryOf(contentType), m_asked, length);
        break;
    case ByteRangesReader::Answer::OnePart:
        m_body = Body::OnePart;
        m_onePart = *ByteRangesReader::singlePart(answer.contentRange, m_asked, length);
        m_onePartAt = m_onePart.begin;
        break;
    }
    if (!sameArchive)
        fallBack(QStringLiteral("the archive changed on the server"));
    else if (!TransferProtocol::isIdentity(answer.encoding))
        fallBack(QStringLiteral("the ranges came encoded"));
}

void DeltaTransfer::receive()
{
    if (!m_reply || m_body == Body::Undecided)
        return;
    const QByteArray bytes = m_reply->readAll();
    m_bodyBytes += bytes.size();
    if (m_body == Body::OnePart) {
        if (bytes.size() > m_onePart.end - m_onePartAt) {
            fallBack(QStringLiteral("an answer longer than its range"));
            return;
        }
        if (!store(m_onePartAt, bytes))
            return;
        m_onePartAt += bytes.size();
    } else {
        QList<ByteRangesReader::Piece> pieces;
        const bool wellFormed = m_parts->feed(bytes, pieces);
        for (const ByteRangesReader::Piece &piece : std::as_const(pieces)) {
            if (!store(piece.offset, piece.bytes))
                return;
        }
        if (!wellFormed) {
            fallBack(QStringLiteral("a malformed multi-range answer"));
            return;
        }
    }
    if (m_stage == Stage::Entries)
        emit progress({m_pieces->plan.fetch.size(), m_pieces->directory.entries().size(), m_stored,
                       m_pieces->plan.totalBytes});
}

bool DeltaTransfer::store(qint64 offset, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return true;
    if (!m_pieces->archive->add(offset, bytes)) {
        fallBack(QStringLiteral("the fetched pieces could not be stored"));
        return false;
    }
    if (m_stage == Stage::Entries)
        m_stored += bytes.size();
    return true;
}

void DeltaTransfer::replyFinished()
{
    if (!m_reply)
        return;
    if (m_reply->isOpen())
        receive();
    if (m_stage == Stage::Ended || !m_reply)
        return;
    const QNetworkReply::NetworkError error = WatchedRequest::error(m_reply);
    const Body body = m_body;
    QList<ByteRange> missing;
    if (body == Body::Parts)
        missing = m_parts->missing();
    else if (body == Body::OnePart)
        missing = ByteRangesReader::subtract(m_asked, {{m_onePart.begin, m_onePartAt}});
    const bool closed = body == Body::Parts ? m_parts->finish() : m_onePartAt == m_onePart.end;
    dropReply();
    // Cut off while the pieces were coming: asked again, by ranges, after a pause.
    if (error == QNetworkReply::RemoteHostClosedError || error == QNetworkReply::TimeoutError
        || (error != QNetworkReply::NoError && body != Body::Undecided)) {
        qDebug() << "Delta update: range request failed:" << error;
        fail(QStringLiteral("connection lost"), true);
        return;
    }
    if (error != QNetworkReply::NoError || body == Body::Undecided) {
        fallBack(QStringLiteral("a range request failed (%1)").arg(int(error)));
        return;
    }
    // Qt may miss that a connection closed inside a body and end it without an error: a cut.
    if (!closed) {
        qDebug() << "Delta update: the answer ended short of its ranges";
        fail(QStringLiteral("connection lost"), true);
        return;
    }
    // A server may answer fewer ranges than asked: the rest, one at a time. A part of a single
    // range is not answered again and again: the request limit ends that.
    if (m_asked.size() > 1)
        m_maxRequests += int(missing.size());
    m_queue = oneAtATime(missing) + m_queue;
    sendNext();
}

// Every request sent so far was answered: the directory is read, or the entries are fetched.
void DeltaTransfer::requestDone()
{
    if (m_stage == Stage::Entries) {
        for (const ByteRange &range : std::as_const(m_pieces->plan.ranges)) {
            if (!m_pieces->archive->holds(range.begin, range.size())) {
                fallBack(QStringLiteral("pieces missing from the answers"));
                return;
            }
        }
        qDebug() << "Delta update fetched" << m_bodyBytes << "bytes in" << m_requests
                 << "range requests";
        end({DeltaOutcome::Fetched, {}, false, m_pieces, nullptr, m_pieces->archiveLength});
        return;
    }
    const qint64 length = m_pieces->archiveLength;
    QByteArray tail(length - m_tailFrom, Qt::Uninitialized);
    if (!m_pieces->archive->readRaw(m_tailFrom, tail.data(), tail.size())) {
        fallBack(QStringLiteral("the archive's end could not be read"));
        return;
    }
    ZipDirectory directory = ZipDirectory::parse(tail, length);
    if (directory.status() == ZipDirectory::NeedMore && directory.needFrom() < m_tailFrom) {
        m_queue = {{{directory.needFrom(), m_tailFrom}}};
        m_tailFrom = directory.needFrom();
        sendNext();
        return;
    }
    if (directory.status() != ZipDirectory::Parsed) {
        fallBack(QStringLiteral("the archive's directory could not be read"));
        return;
    }
    m_pieces->directory = std::move(directory);
    planEntries();
}

void DeltaTransfer::planEntries()
{
    FetchedPieces &pieces = *m_pieces;
    pieces.plan = DeltaPlan::make(pieces.directory, pieces.archiveLength, m_index, m_installRoot);
    const DeltaPlan &plan = pieces.plan;
    if (plan.wholeArchive) {
        fallBack(QStringLiteral("most of the archive changed"));
        return;
    }
    qDebug() << "Delta update:" << plan.fetch.size() << "of" << pieces.directory.entries().size()
             << "files changed," << plan.totalBytes << "bytes to fetch";
    if (const std::optional<QString> shortfall =
            DiskSpace::shortfall(QFileInfo(m_piecesPath).absolutePath(), plan.totalBytes)) {
        fallBack(*shortfall);
        return;
    }
    // The bytes of the end, fetched already, are not asked again.
    const QList<ByteRange> ranges =
        ByteRangesReader::subtract(plan.ranges, {{m_tailFrom, pieces.archiveLength}});
    m_queue = RangePlan::group(ranges);
    m_stored = plan.totalBytes - RangePlan::totalSize(ranges);
    m_maxRequests = m_requests + int(m_queue.size()) + 2;
    m_stage = Stage::Entries;
    emit progress(
        {plan.fetch.size(), pieces.directory.entries().size(), m_stored, plan.totalBytes});
    sendNext();
}

// The ranges of this request and of those still to send, one a request from now on.
void DeltaTransfer::askOneAtATime()
{
    QList<ByteRange> ranges = m_asked;
    for (const QList<ByteRange> &request : std::as_const(m_queue))
        ranges += request;
    m_queue = oneAtATime(ranges);
    m_maxRequests += int(ranges.size());
    dropReply();
    sendNext();
}

// Ends the request under way on our side, unreported.
void DeltaTransfer::dropReply()
{
    if (!m_reply)
        return;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
}

void DeltaTransfer::fallBack(const QString &reason)
{
    qDebug() << "Delta update not possible, downloading the whole archive:" << reason;
    end({DeltaOutcome::WholeArchive, reason, false, {}, nullptr, -1});
}

void DeltaTransfer::fail(const QString &reason, bool retried)
{
    qDebug() << "Delta update interrupted:" << reason;
    end({DeltaOutcome::Failed, reason, retried, {}, nullptr, -1});
}

void DeltaTransfer::end(const DeltaOutcome &outcome)
{
    if (m_stage == Stage::Ended)
        return;
    m_stage = Stage::Ended;
    dropReply();
    if (outcome.kind != DeltaOutcome::Fetched)
        m_pieces->archive.reset();
    emit finished(outcome);
    deleteLater();
}
