#include "sync/archivetransfer.h"

#include "manifest/repomanager.h"
#include "sync/syncfiles.h"
#include "sync/watchedrequest.h"

#include <QCoreApplication>
#include <QDebug>
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

    sendGet();
    if (!m_sink.openFresh()) {
        qDebug() << "Failed to open file for writing:" << m_sink.errorString();
        // Nothing would read this reply; end the transfer instead of leaving it open.
        m_reply->abort();
        m_reply->deleteLater();
        deleteLater();
        return;
    }
    connectGet();
}

void ArchiveTransfer::sendGet()
{
    QNetworkRequest request(m_url);
    request.setRawHeader("Connection", "keep-alive");
    request.setRawHeader("Cache-Control", "no-cache");
    // Qt's HTTP/2 path ignores the read buffer bound below, so the body would pile up in memory;
    // it was slower too. HTTP/1.1 keeps the bound.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    m_reply = WatchedRequest::get(m_network, request,
                                  m_url.scheme() == QLatin1String("https")
                                      ? tlsArchiveReadBufferSize
                                      : archiveReadBufferSize);
    m_reader = BoundedReader();
    m_bytesWritten = 0;
}

void ArchiveTransfer::connectGet()
{
    connect(m_reply, &QNetworkReply::downloadProgress, this, &ArchiveTransfer::showProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, &ArchiveTransfer::receive);
    connect(m_reply, &QNetworkReply::finished, this, &ArchiveTransfer::complete);
    m_errorHandler = connect(m_reply, &QNetworkReply::errorOccurred, this, [this] {
        reportError(WatchedRequest::error(m_reply), WatchedRequest::errorString(m_reply));
    });
}

void ArchiveTransfer::showProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    m_status.downloadProgress(bytesReceived, m_fileSize);
    qDebug() << "Downloaded" << bytesReceived << "bytes out of" << bytesTotal;
}

void ArchiveTransfer::receive()
{
    if (!storeArrivedBytes())
        writeFailed();
}

bool ArchiveTransfer::storeArrivedBytes()
{
    const QByteArray bytes = m_reader.takeArrived(*m_reply);
    if (!m_sink.write(bytes))
        return false;
    m_bytesWritten += bytes.size();
    return true;
}

// Ends the GET on our side. The error handler goes first: this end is not a network error and
// must not be reported or retried as one.
void ArchiveTransfer::writeFailed()
{
    m_writeFailure = m_sink.errorString();
    qDebug() << "Failed to write ZIP file:" << m_archivePath << *m_writeFailure;
    disconnect(m_errorHandler);
    m_reply->abort();
}

// Retries start in two places only: here, called by the GET's error handler, and from the
// completion when a body ended short without an error from Qt.
void ArchiveTransfer::reportError(QNetworkReply::NetworkError code, const QString &text)
{
    qDebug() << "Download error:" << code << text;
    if (code != QNetworkReply::RemoteHostClosedError && code != QNetworkReply::TimeoutError)
        return;
    qDebug() << "Retrying download...";
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
    const auto release = qScopeGuard([this] {
        m_reply->deleteLater();
        m_sink.abort();
        deleteLater();
    });
    std::optional<QString> failure;
    if (m_writeFailure) {
        failure = m_writeFailure;
    } else if (WatchedRequest::error(m_reply) != QNetworkReply::NoError) {
        failure = WatchedRequest::errorString(m_reply);
    } else if (!storeArrivedBytes() || !m_sink.finalize()) {
        m_writeFailure = m_sink.errorString();
        qDebug() << "Failed to write ZIP file:" << m_archivePath << *m_writeFailure;
        failure = m_writeFailure;
    } else if (cutShort()) {
        // The same report and retry as when Qt tells of the closed connection itself.
        failure = QCoreApplication::translate("QHttp", "Connection closed");
        reportError(QNetworkReply::RemoteHostClosedError, *failure);
    }

    if (failure) {
        qDebug() << "Failed to download ZIP: " << *failure;
        m_status.downloadFailed();
    } else {
        installDownloaded();
    }
    m_manager->enableButtonsIfComplete();
}

void ArchiveTransfer::installDownloaded()
{
    qDebug() << "ZIP file downloaded successfully!";
    // A failed extraction leaves the old commit id, so the next start tries again.
    if (m_manager->processDownloadedZip(m_archivePath))
        SyncFiles::writeRecordedCommit(m_repo.name, m_latestCommitHash);
    m_status.installed();
}

void RepoManager::downloadZip(const Repo &repo, const QString &latestCommitHash)
{
    if (SyncFiles::acceptRepoName(repo.name))
        ArchiveTransfer::start(this, networkManager, repo, latestCommitHash);
}
