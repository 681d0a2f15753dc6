#include "sync/archivetransfer.h"

#include "manifest/repomanager.h"
#include "sync/resumerecord.h"
#include "sync/syncfiles.h"
#include "sync/watchedrequest.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <QTimer>
#include <QVariant>

namespace {

// Without a bound Qt buffers the whole body whenever the event loop is held up (another
// repository's extraction), and the archive would sit in memory. Over TLS a smaller bound makes
// Qt hand the data over in larger pieces and so wake this thread far less often (measured about
// twice as fast); over plain HTTP the smaller bound let the reply overrun it more often.
constexpr qint64 archiveReadBufferSize = 1024 * 1024;
constexpr qint64 tlsArchiveReadBufferSize = 64 * 1024;
constexpr int retryDelayMs = 2000;

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

void ArchiveTransfer::start(RepoManager *manager, QNetworkAccessManager *network, const Repo &repo,
                            const QString &latestCommitHash)
{
    manager->disableAllButtons();
    auto *transfer = new ArchiveTransfer(manager, network, repo, latestCommitHash);
    transfer->m_status.downloadStarted();
    QNetworkReply *head = WatchedRequest::head(network, QNetworkRequest(transfer->m_url));
    connect(head, &QNetworkReply::finished, transfer,
            [transfer, head] { transfer->headFinished(head); });
}

ArchiveTransfer::ArchiveTransfer(RepoManager *manager, QNetworkAccessManager *network,
                                 const Repo &repo, const QString &latestCommitHash)
    : QObject(manager),
      m_manager(manager),
      m_network(network),
      m_repo(repo),
      m_latestCommitHash(latestCommitHash),
      m_archivePath(SyncFiles::archiveFilePath(repo.name)),
      m_url(repo.download, QUrl::TolerantMode),
      m_status(ColumnStatus::find(manager, repo.name)),
      m_sink(m_archivePath)
{
}

void ArchiveTransfer::headFinished(QNetworkReply *head)
{
    head->deleteLater();
    // A failed HEAD counts as one without a length; the GET decides.
    const QVariant length = head->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid()) {
        m_fileSize = length.toLongLong();
        qDebug() << "File size detected:" << m_fileSize;
    } else {
        qDebug() << "Failed to retrieve file size.";
    }

    const qint64 from = resumePoint(*head);
    if (from > 0 && from == m_fileSize) {
        qDebug() << "Resuming download at" << from << "bytes";
        installDownloaded();
        m_manager->enableButtonsIfComplete();
        deleteLater();
        return;
    }
    download(from);
}

// Where the archive on disk may be continued: its length, when the record beside it names this
// address and the length the HEAD gave. 0: from the start.
qint64 ArchiveTransfer::resumePoint(const QNetworkReply &head)
{
    const std::optional<ResumeRecord> record = ResumeRecord::read(m_archivePath);
    const qint64 held = QFileInfo(m_archivePath).size();
    if (!record || record->url != m_url.toString() || record->length != m_fileSize || held <= 0
        || held > m_fileSize)
        return 0;
    // Nothing is left to ask for with If-Range; only the HEAD can tell the file is the same.
    if (held == m_fileSize && ResumeRecord::validatorOf(head) != record->validator)
        return 0;
    m_validator = record->validator;
    return held;
}

void ArchiveTransfer::download(qint64 from)
{
    m_offset = from;
    sendGet();
    if (!(from > 0 ? m_sink.openAppend() : openFresh())) {
        qDebug() << "Failed to open file for writing:" << m_sink.errorString();
        showUnwritable();
        // Nothing would read this reply; end the transfer instead of leaving it open.
        m_reply->abort();
        m_reply->deleteLater();
        deleteLater();
        return;
    }
    connectGet();
}

// The record goes first: it must never describe bytes that are no longer there.
bool ArchiveTransfer::openFresh()
{
    ResumeRecord::remove(m_archivePath);
    return m_sink.openFresh();
}

void ArchiveTransfer::sendGet()
{
    QNetworkRequest request(m_url);
    request.setRawHeader("Connection", "keep-alive");
    request.setRawHeader("Cache-Control", "no-cache");
    if (m_offset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_offset) + "-");
        request.setRawHeader("If-Range", m_validator);
    }
    // Qt's HTTP/2 path ignores the read buffer bound below, so the body would pile up in memory;
    // it was slower too. HTTP/1.1 keeps the bound.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    m_reply = WatchedRequest::get(m_network, request,
                                  m_url.scheme() == QLatin1String("https")
                                      ? tlsArchiveReadBufferSize
                                      : archiveReadBufferSize);
    m_reader = BoundedReader();
    m_headersSeen = false;
    m_bodyWanted = false;
    m_bytesWritten = 0;
}

void ArchiveTransfer::connectGet()
{
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &ArchiveTransfer::headersArrived);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &ArchiveTransfer::showProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, &ArchiveTransfer::receive);
    connect(m_reply, &QNetworkReply::finished, this, &ArchiveTransfer::complete);
    m_errorHandler = connect(m_reply, &QNetworkReply::errorOccurred, this, [this] {
        reportError(WatchedRequest::error(m_reply), WatchedRequest::errorString(m_reply));
    });
}

// Decides, before any byte of the body is stored, what the answer is: the archive from the start
// (its record kept for a later resume), the rest of the archive held, or an error page.
void ArchiveTransfer::headersArrived()
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_headersSeen || status == 0 || (status >= 300 && status < 400))
        return; // nothing yet, or a redirection on the way
    m_headersSeen = true;
    m_bodyWanted = status >= 200 && status < 300;
    if (m_offset > 0) {
        if (status == 206 && rangeFits()) {
            qDebug() << "Resuming download at" << m_offset << "bytes";
            return;
        }
        if (status != 200 && status != 206 && status != 416)
            return; // an error answer, reported as any other; the archive stays as it was
        qDebug() << "Resume refused, downloading from the start";
        if (status == 416) {
            // Qt reports the status as an error once the short answer has ended: ended here, it
            // would report it twice.
            disconnect(m_errorHandler);
            m_restartAtEnd = true;
            return;
        }
        if (status == 206) {
            restartFromZero();
            return;
        }
        // The server ignores ranges or has another file: the whole body follows.
        m_offset = 0;
        if (!openFresh()) {
            writeFailed();
            return;
        }
    }
    if (status == 200) {
        if (const std::optional<ResumeRecord> record = ResumeRecord::of(*m_reply, m_url.toString()))
            record->write(m_archivePath);
    }
}

// A 206 continues the archive only with exactly its missing bytes of the same file.
bool ArchiveTransfer::rangeFits() const
{
    const QByteArray range = m_reply->rawHeader("Content-Range").trimmed();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (!range.startsWith("bytes ") || dash < 0 || slash < dash)
        return false;
    bool ok[3] = {};
    const qint64 first = range.mid(6, dash - 6).toLongLong(&ok[0]);
    const qint64 last = range.mid(dash + 1, slash - dash - 1).toLongLong(&ok[1]);
    const qint64 total = range.mid(slash + 1).toLongLong(&ok[2]);
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    const QByteArray validator = ResumeRecord::validatorOf(*m_reply);
    return ok[0] && ok[1] && ok[2] && first == m_offset && last == total - 1 && total == m_fileSize
           && (!length.isValid() || length.toLongLong() == total - first)
           && (validator.isEmpty() || validator == m_validator)
           && !m_reply->hasRawHeader("Content-Encoding");
}

// A refused range or a part that does not fit: the archive is fetched again from its start, at
// once, without counting as a failed attempt.
void ArchiveTransfer::restartFromZero()
{
    m_reply->disconnect(this);
    m_reply->abort();
    m_reply->deleteLater();
    download(0);
}

void ArchiveTransfer::showProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // The whole file counts: a continued download goes on from what the archive held.
    const qint64 received = m_offset + bytesReceived;
    m_status.downloadProgress(received, m_fileSize);
    qDebug() << "Downloaded" << received << "bytes out of"
             << (bytesTotal < 0 ? bytesTotal : m_offset + bytesTotal);
}

void ArchiveTransfer::receive()
{
    if (!storeArrivedBytes())
        writeFailed();
}

bool ArchiveTransfer::storeArrivedBytes()
{
    const QByteArray bytes = m_reader.takeArrived(*m_reply);
    if (!m_bodyWanted)
        return true; // an error page is not part of the archive
    if (!m_sink.write(bytes))
        return false;
    m_bytesWritten += bytes.size();
    return true;
}

// Ends the GET on our side. The error handler goes first: this end is not a network error and
// must not be reported or retried as one.
void ArchiveTransfer::writeFailed()
{
    noteWriteFailure();
    disconnect(m_errorHandler);
    m_reply->abort();
}

void ArchiveTransfer::noteWriteFailure()
{
    m_writeFailure = m_sink.errorString();
    qDebug() << "Failed to write ZIP file:" << m_archivePath << *m_writeFailure;
    showUnwritable();
}

// The column names the folder, as the player knows it, and the system's reason.
void ArchiveTransfer::showUnwritable()
{
    m_status.failed(UpdateFailure::ArchiveUnwritable,
                    QDir::toNativeSeparators(QFileInfo(m_archivePath).absolutePath()) + ": "
                        + m_sink.errorString());
}

// Retries start in two places only: here, called by the GET's error handler, and from the
// completion when a body ended short without an error from Qt.
void ArchiveTransfer::reportError(QNetworkReply::NetworkError code, const QString &text)
{
    qDebug() << "Download error:" << code << text;
    if (!isRetried(code))
        return;
    qDebug() << "Retrying download...";
    // The column shows no failure meanwhile: the next attempt starts it afresh.
    m_retrying = true;
    RepoManager *manager = m_manager;
    // The manager as context: a retry due after the manager is gone is dropped.
    QTimer::singleShot(retryDelayMs, manager,
                       [manager, repo = m_repo, latestCommitHash = m_latestCommitHash] {
                           manager->downloadZip(repo, latestCommitHash);
                       });
}

// Qt may end a reply whose connection closed mid-body without an error, holding a short body.
// Only an unencoded body can be measured against the announced length, and a chunked one
// announces none.
bool ArchiveTransfer::cutShort() const
{
    const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
    const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
    const QByteArray transfer = m_reply->rawHeader("Transfer-Encoding").toLower();
    if (!announced.isValid() || !(encoding.isEmpty() || encoding == "identity")
        || transfer.contains("chunked"))
        return false;
    return m_bytesWritten < announced.toLongLong();
}

// The GET has finished, successful or not.
void ArchiveTransfer::complete()
{
    if (m_restartAtEnd) {
        m_restartAtEnd = false;
        restartFromZero();
        return;
    }
    const auto release = qScopeGuard([this] {
        m_reply->deleteLater();
        m_sink.abort();
        deleteLater();
    });
    std::optional<QString> failure;
    if (m_writeFailure) {
        failure = m_writeFailure;
    } else if (WatchedRequest::error(m_reply) != QNetworkReply::NoError) {
        if (m_reply->isOpen())
            storeArrivedBytes(); // kept for the retry to continue from
        failure = WatchedRequest::errorString(m_reply);
    } else if (!storeArrivedBytes() || !m_sink.finalize()) {
        noteWriteFailure();
        failure = m_writeFailure;
    } else if (cutShort()) {
        // The same report and retry as when Qt tells of the closed connection itself.
        failure = QCoreApplication::translate("QHttp", "Connection closed");
        reportError(QNetworkReply::RemoteHostClosedError, *failure);
    }

    if (failure) {
        qDebug() << "Failed to download ZIP: " << *failure;
        m_status.downloadFailed();
        if (!m_writeFailure && !m_retrying)
            m_status.failed(UpdateFailure::Download, failureWords(*m_reply));
    } else {
        installDownloaded();
    }
    m_manager->enableButtonsIfComplete();
}

void ArchiveTransfer::installDownloaded()
{
    qDebug() << "ZIP file downloaded successfully!";
    const bool extracted = m_manager->processDownloadedZip(m_archivePath);
    // The archive is gone, or kept to look into: an archive that did not extract is fetched
    // anew, never continued.
    ResumeRecord::remove(m_archivePath);
    // A failed extraction leaves the old commit id, so the next start tries again, and the column
    // as the extraction left it.
    if (!extracted)
        return;
    SyncFiles::writeRecordedCommit(m_repo.name, m_latestCommitHash);
    m_status.installed();
}

void RepoManager::downloadZip(const Repo &repo, const QString &latestCommitHash)
{
    if (SyncFiles::acceptRepoName(repo.name))
        ArchiveTransfer::start(this, networkManager, repo, latestCommitHash);
}
