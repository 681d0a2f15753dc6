#include "sync/archivetransfer.h"

#include "extract/diskspace.h"
#include "sync/resumerecord.h"
#include "sync/watchedrequest.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <QVariant>

using TransferProtocol::Answer;
using TransferProtocol::Meaning;
using TransferProtocol::Start;

namespace {

// Without a bound Qt buffers the whole body whenever the event loop is held up (another
// repository's extraction), and the archive would sit in memory. Over TLS a smaller bound makes
// Qt hand the data over in larger pieces and so wake this thread far less often (measured about
// twice as fast); over plain HTTP the smaller bound let the reply overrun it more often.
constexpr qint64 archiveReadBufferSize = 1024 * 1024;
constexpr qint64 tlsArchiveReadBufferSize = 64 * 1024;

bool isRetried(QNetworkReply::NetworkError code)
{
    return code == QNetworkReply::RemoteHostClosedError || code == QNetworkReply::TimeoutError;
}

// Why a GET failed, in the player's words: every download failure's text comes from here.
QString failureWords(const QNetworkReply &reply)
{
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400)
        return QStringLiteral("server answered %1").arg(status);
    switch (WatchedRequest::error(&reply)) {
    case QNetworkReply::NoError:
        return QStringLiteral("incomplete download");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("server not found");
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("server refused the connection");
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
        return QStringLiteral("connection lost");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("secure connection failed");
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("too many or unsafe redirections");
    case QNetworkReply::ProtocolUnknownError:
        return QStringLiteral("unusable address");
    default:
        return QStringLiteral("network error");
    }
}

} // namespace

ArchiveTransfer::ArchiveTransfer(QNetworkAccessManager *network, const QUrl &url,
                                 const QString &archivePath, const QString &commit, QObject *parent)
    : QObject(parent),
      m_network(network),
      m_url(url),
      m_archivePath(archivePath),
      m_commit(commit),
      m_sink(archivePath)
{
}

void ArchiveTransfer::start()
{
    m_phase = Phase::Head;
    QNetworkReply *head = WatchedRequest::head(m_network, QNetworkRequest(m_url));
    connect(head, &QNetworkReply::finished, this, [this, head] { headFinished(head); });
}

void ArchiveTransfer::headFinished(QNetworkReply *head)
{
    head->deleteLater();
    const Answer answer = Answer::of(*head);
    // An error page's length is the page's, not the archive's.
    if (const std::optional<qint64> size = TransferProtocol::sizeFromHead(answer)) {
        m_headSize = *size;
        qDebug() << "File size detected:" << m_headSize;
    } else {
        qDebug() << "Failed to retrieve file size.";
    }

    std::optional<TransferProtocol::Held> held;
    if (const std::optional<ResumeRecord> record = ResumeRecord::read(m_archivePath))
        held = TransferProtocol::Held{QFileInfo(m_archivePath).size(), record->length, record->url,
                                      record->commit, record->validator};
    const Start from = TransferProtocol::start(held, m_url.toString(), m_commit, answer);
    // What is still to come must fit beside what is held; the install checks its own needs.
    const qint64 heldBytes = from.kind == Start::Fresh ? 0 : from.from;
    if (const std::optional<QString> shortfall =
            from.total > 0 ? DiskSpace::shortfall(QFileInfo(m_archivePath).absolutePath(),
                                                  from.total - heldBytes)
                           : std::nullopt) {
        qDebug() << "Not enough disk space:" << *shortfall;
        end({TransferOutcome::NoSpace, *shortfall, false});
        return;
    }
    if (from.kind == Start::Complete) {
        qDebug() << "Resuming download at" << from.from << "bytes";
        m_validator = from.validator;
        end({TransferOutcome::Downloaded, {}, false});
        return;
    }
    download(from);
}

void ArchiveTransfer::download(const Start &from)
{
    m_from = from;
    sendGet();
    attachReply();
}

void ArchiveTransfer::takeOver(QNetworkReply *reply, qint64 archiveLength)
{
    m_headSize = archiveLength;
    m_from = Start{Start::Fresh, 0, archiveLength, {}};
    m_reply = reply;
    startAttempt();
    attachReply();
    if (m_phase == Phase::Ended)
        return;
    headersArrived();
    receive();
    if (m_reply->isFinished())
        QMetaObject::invokeMethod(this, &ArchiveTransfer::complete, Qt::QueuedConnection);
}

// Opens the archive file for the GET under way and follows its answer.
void ArchiveTransfer::attachReply()
{
    bool opened = false;
    if (m_from.kind == Start::Continue) {
        opened = m_sink.openAt(m_from.from);
    } else {
        // The record goes first: it must never describe bytes that are no longer there.
        ResumeRecord::remove(m_archivePath);
        opened = m_sink.openFresh();
    }
    if (!opened) {
        qDebug() << "Failed to open file for writing:" << m_sink.errorString();
        // Nothing would read this reply; end it instead of leaving it open.
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        end(unwritable());
        return;
    }
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &ArchiveTransfer::headersArrived);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &ArchiveTransfer::showProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, &ArchiveTransfer::receive);
    connect(m_reply, &QNetworkReply::finished, this, &ArchiveTransfer::complete);
    m_errorHandler = connect(m_reply, &QNetworkReply::errorOccurred, this, [this] {
        reportError(WatchedRequest::error(m_reply), WatchedRequest::errorString(m_reply));
    });
}

void ArchiveTransfer::sendGet()
{
    QNetworkRequest request(m_url);
    request.setRawHeader("Connection", "keep-alive");
    request.setRawHeader("Cache-Control", "no-cache");
    if (m_from.kind == Start::Continue) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_from.from) + "-");
        request.setRawHeader("If-Range", m_from.validator);
    }
    // Qt's HTTP/2 path ignores the read buffer bound below, so the body would pile up in memory;
    // it was slower too. HTTP/1.1 keeps the bound.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    m_reply = WatchedRequest::get(m_network, request,
                                  m_url.scheme() == QLatin1String("https")
                                      ? tlsArchiveReadBufferSize
                                      : archiveReadBufferSize);
    startAttempt();
}

void ArchiveTransfer::startAttempt()
{
    m_reader = BoundedReader();
    m_phase = Phase::Asked;
    m_bodyBytes = 0;
    m_attemptClock.start();
}

// Decides, before any byte of the body is stored, what the answer is.
void ArchiveTransfer::headersArrived()
{
    if (m_phase != Phase::Asked)
        return;
    const Answer answer = Answer::of(*m_reply);
    const qint64 offset = m_from.kind == Start::Continue ? m_from.from : 0;
    const Meaning meaning = TransferProtocol::meaning(answer, offset, m_from.total,
                                                      m_from.validator);
    if (offset > 0 && meaning != Meaning::Wait && meaning != Meaning::Append
        && meaning != Meaning::ErrorPage)
        qDebug() << "Resume refused, downloading from the start";
    switch (meaning) {
    case Meaning::Wait:
        return;
    case Meaning::Append:
        qDebug() << "Resuming download at" << offset << "bytes";
        m_phase = Phase::Storing;
        m_expected = m_from.total;
        m_validator = m_from.validator;
        return;
    case Meaning::ErrorPage:
        m_phase = Phase::Discarding;
        return;
    case Meaning::RestartNow:
        restartFromZero();
        return;
    case Meaning::RestartAtEnd:
        // Qt reports the status as an error once the short answer has ended: ended here, it
        // would report it twice.
        disconnect(m_errorHandler);
        m_phase = Phase::RestartingAtEnd;
        return;
    case Meaning::Whole:
        break;
    }
    m_phase = Phase::Storing;
    m_expected = TransferProtocol::isIdentity(answer.encoding) ? answer.length : -1;
    m_validator = answer.validator;
    if (offset > 0) {
        m_from = Start{Start::Fresh, 0, m_headSize, {}};
        ResumeRecord::remove(m_archivePath);
        if (!m_sink.openFresh()) {
            writeFailed();
            return;
        }
    }
    if (TransferProtocol::isResumable(answer))
        ResumeRecord{answer.length, m_url.toString(), answer.validator, m_commit}.write(
            m_archivePath);
}

// A refused range or a part that does not fit: the archive is fetched again from its start, at
// once, without counting as a failed attempt.
void ArchiveTransfer::restartFromZero()
{
    m_reply->disconnect(this);
    m_reply->abort();
    m_reply->deleteLater();
    download(Start{Start::Fresh, 0, m_headSize, {}});
}

void ArchiveTransfer::showProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // The whole file counts: a continued download goes on from what the archive held.
    const qint64 offset = m_from.kind == Start::Continue ? m_from.from : 0;
    const qint64 received = offset + bytesReceived;
    emit progress({received, m_from.total, bytesReceived, m_attemptClock.elapsed()});
    qDebug() << "Downloaded" << received << "bytes out of"
             << (bytesTotal < 0 ? bytesTotal : offset + bytesTotal);
}

void ArchiveTransfer::receive()
{
    if (!storeArrivedBytes())
        writeFailed();
}

bool ArchiveTransfer::storeArrivedBytes()
{
    const QByteArray bytes = m_reader.takeArrived(*m_reply);
    if (m_phase != Phase::Storing)
        return true; // an error page, or an answer still undecided, is not part of the archive
    if (!m_sink.write(bytes))
        return false;
    m_bodyBytes += bytes.size();
    return true;
}

// Ends the GET on our side. The error handler goes first: this end is not a network error and
// must not be reported or retried as one.
void ArchiveTransfer::writeFailed()
{
    if (!m_writeFailed)
        qDebug() << "Failed to write ZIP file:" << m_archivePath << m_sink.errorString();
    m_writeFailed = true;
    disconnect(m_errorHandler);
    m_reply->abort();
}

// Retries are decided in two places only: here, called by the GET's error handler, and from the
// completion when a body ended short without an error from Qt.
void ArchiveTransfer::reportError(QNetworkReply::NetworkError code, const QString &text)
{
    qDebug() << "Download error:" << code << text;
    if (!isRetried(code))
        return;
    qDebug() << "Retrying download...";
    m_retried = true;
}

// The GET has finished, successful or not.
void ArchiveTransfer::complete()
{
    if (m_phase == Phase::Ended)
        return;
    if (m_phase == Phase::RestartingAtEnd) {
        restartFromZero();
        return;
    }
    const auto release = qScopeGuard([this] {
        m_reply->deleteLater();
        m_sink.abort();
    });
    const Answer answer = Answer::of(*m_reply);
    TransferOutcome outcome{TransferOutcome::Failed, failureWords(*m_reply), false};
    QString failure;
    if (m_writeFailed) {
        outcome = unwritable();
        failure = m_sink.errorString();
    } else if (WatchedRequest::error(m_reply) != QNetworkReply::NoError) {
        if (m_reply->isOpen())
            storeArrivedBytes(); // kept for the retry to continue from
        failure = WatchedRequest::errorString(m_reply);
    } else if (!storeArrivedBytes() || !m_sink.finalize()) {
        qDebug() << "Failed to write ZIP file:" << m_archivePath << m_sink.errorString();
        outcome = unwritable();
        failure = m_sink.errorString();
    } else if (m_phase != Phase::Storing) {
        failure = QStringLiteral("no archive in the answer");
    } else if (TransferProtocol::endedShort(answer, m_bodyBytes)) {
        // The same report and retry as when Qt tells of the closed connection itself.
        failure = QCoreApplication::translate("QHttp", "Connection closed");
        outcome.reason = QStringLiteral("connection lost");
        reportError(QNetworkReply::RemoteHostClosedError, failure);
    } else if (m_expected >= 0 && QFileInfo(m_archivePath).size() != m_expected) {
        // Never install a file of another length than the archive's: it is not the archive.
        failure = QStringLiteral("The archive's length differs from the server's");
        ResumeRecord::remove(m_archivePath);
    }
    if (failure.isEmpty()) {
        end({TransferOutcome::Downloaded, {}, false});
        return;
    }
    qDebug() << "Failed to download ZIP: " << failure;
    outcome.retried = m_retried && outcome.kind == TransferOutcome::Failed;
    end(outcome);
}

void ArchiveTransfer::end(const TransferOutcome &outcome)
{
    m_phase = Phase::Ended;
    if (outcome.kind == TransferOutcome::Downloaded)
        qDebug() << "ZIP file downloaded successfully!";
    TransferOutcome ended = outcome;
    if (outcome.kind == TransferOutcome::Downloaded)
        ended.validator = m_validator;
    emit finished(ended);
    deleteLater();
}

// The folder, as the player knows it, and the system's reason.
TransferOutcome ArchiveTransfer::unwritable()
{
    return {TransferOutcome::Unwritable,
            QDir::toNativeSeparators(QFileInfo(m_archivePath).absolutePath()) + ": "
                + m_sink.errorString(),
            false};
}
