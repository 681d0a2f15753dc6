#include "manifest/repomanager.h"

#include "sync/downloadattempt.h"
#include "sync/syncfiles.h"
#include "sync/transfertimeout.h"

#include <QDebug>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QProgressBar>
#include <QScopeGuard>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

// Without a bound Qt buffers the whole body whenever the event loop is held up (another
// repository's extraction), and the archive would sit in memory. Over TLS a smaller bound makes
// Qt hand the data over in larger pieces and so wake this thread far less often (measured about
// twice as fast); over plain HTTP the smaller bound let the reply overrun it more often.
constexpr qint64 archiveReadBufferSize = 1024 * 1024;
constexpr qint64 tlsArchiveReadBufferSize = 64 * 1024;
constexpr int retryDelayMs = 2000;

void logWriteFailure(DownloadAttempt &attempt)
{
    attempt.writeFailure = attempt.file->errorString();
    qDebug() << "Failed to write ZIP file:" << attempt.archivePath << *attempt.writeFailure;
}

} // namespace

namespace ArchiveDownload {

void headFinished(QNetworkReply *head, const std::shared_ptr<DownloadAttempt> &attempt)
{
    const auto release = qScopeGuard([head] { head->deleteLater(); });
    // A failed HEAD counts as one without a length; the GET decides.
    const QVariant length = head->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid()) {
        attempt->fileSize = length.toLongLong();
        qDebug() << "File size detected:" << attempt->fileSize;
    } else {
        qDebug() << "Failed to retrieve file size.";
    }

    attempt->reply = sendGet(*attempt);
    if (openArchive(*attempt))
        connectHandlers(attempt);
}

QNetworkReply *sendGet(const DownloadAttempt &attempt)
{
    QNetworkRequest request(attempt.url);
    request.setRawHeader("Connection", "keep-alive");
    request.setRawHeader("Cache-Control", "no-cache");
    // Qt's HTTP/2 path ignores the read buffer bound below, so the body would pile up in memory;
    // it was slower too. HTTP/1.1 keeps the bound.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    return TransferTimeout::get(attempt.network, request,
                                attempt.url.scheme() == QLatin1String("https")
                                    ? tlsArchiveReadBufferSize
                                    : archiveReadBufferSize);
}

bool openArchive(DownloadAttempt &attempt)
{
    auto file = std::make_unique<QFile>(attempt.archivePath);
    if (!file->open(QIODevice::WriteOnly)) {
        qDebug() << "Failed to open file for writing:" << file->errorString();
        // Nothing would read this reply; end the transfer instead of leaving it open.
        attempt.reply->abort();
        attempt.reply->deleteLater();
        return false;
    }
    attempt.file = std::move(file);
    return true;
}

void connectHandlers(const std::shared_ptr<DownloadAttempt> &attempt)
{
    QNetworkReply *reply = attempt->reply;
    QObject::connect(
        reply, &QNetworkReply::downloadProgress, reply,
        [attempt](qint64 received, qint64 total) { showProgress(*attempt, received, total); },
        Qt::DirectConnection);
    QObject::connect(
        reply, &QNetworkReply::readyRead, reply, [attempt] { receive(*attempt); },
        Qt::DirectConnection);
    QObject::connect(
        reply, &QNetworkReply::finished, reply, [attempt] { complete(*attempt); },
        Qt::DirectConnection);
    attempt->errorHandler = QObject::connect(
        reply, &QNetworkReply::errorOccurred, reply,
        [attempt] {
            reportError(*attempt, TransferTimeout::error(attempt->reply),
                        TransferTimeout::errorString(attempt->reply));
        },
        Qt::DirectConnection);
}

void showProgress(const DownloadAttempt &attempt, qint64 bytesReceived, qint64 bytesTotal)
{
    if (attempt.bar) {
        if (attempt.fileSize > 0)
            attempt.bar->setValue(int(bytesReceived * 100 / attempt.fileSize));
        else
            attempt.bar->setRange(0, 0);
    }
    qDebug() << "Downloaded" << bytesReceived << "bytes out of" << bytesTotal;
}

void receive(DownloadAttempt &attempt)
{
    if (!storeArrivedBytes(attempt))
        abort(attempt);
}

void abort(DownloadAttempt &attempt)
{
    QObject::disconnect(attempt.errorHandler);
    attempt.reply->abort();
}

bool storeArrivedBytes(DownloadAttempt &attempt)
{
    const QByteArray bytes = attempt.reader.takeArrived(*attempt.reply);
    if (bytes.isEmpty())
        return true;
    const qint64 written = attempt.file->write(bytes);
    if (written > 0)
        attempt.bytesWritten += written;
    if (written == bytes.size())
        return true;
    logWriteFailure(attempt);
    return false;
}

bool flushArchive(DownloadAttempt &attempt)
{
    if (attempt.file->flush())
        return true;
    logWriteFailure(attempt);
    return false;
}

// Retries start in two places only: here, called by the GET's error handler, and from the
// completion when a body ended short without an error from Qt.
void reportError(const DownloadAttempt &attempt, QNetworkReply::NetworkError code,
                 const QString &text)
{
    qDebug() << "Download error:" << code << text;
    if (code != QNetworkReply::RemoteHostClosedError && code != QNetworkReply::TimeoutError)
        return;
    qDebug() << "Retrying download...";
    RepoManager *manager = attempt.manager;
    const Repo repo = attempt.repo;
    const QString latestCommitHash = attempt.latestCommitHash;
    // The manager as context: a retry due after the manager is gone is dropped.
    QTimer::singleShot(retryDelayMs, manager, [manager, repo, latestCommitHash] {
        manager->downloadZip(repo, latestCommitHash);
    });
}

} // namespace ArchiveDownload

void RepoManager::downloadZip(const Repo &repo, const QString &latestCommitHash)
{
    if (!SyncFiles::acceptRepoName(repo.name))
        return;

    disableAllButtons();
    auto attempt = std::make_shared<DownloadAttempt>();
    attempt->manager = this;
    attempt->network = networkManager;
    attempt->repo = repo;
    attempt->latestCommitHash = latestCommitHash;
    attempt->archivePath = SyncFiles::archiveFilePath(repo.name);
    attempt->url = QUrl(repo.download, QUrl::TolerantMode);
    attempt->bar = findProgressBar(repo.name);
    if (attempt->bar) {
        attempt->bar->setRange(0, 100);
        attempt->bar->setValue(0);
        attempt->bar->setVisible(true);
    }

    QNetworkReply *head = TransferTimeout::head(networkManager, QNetworkRequest(attempt->url));
    connect(
        head, &QNetworkReply::finished, head,
        [head, attempt] { ArchiveDownload::headFinished(head, attempt); }, Qt::DirectConnection);
}
