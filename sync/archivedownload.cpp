#include "manifest/repomanager.h"

#include "sync/downloadattempt.h"
#include "sync/syncfiles.h"
#include "sync/transfertimeout.h"

#include <QDebug>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QProgressBar>
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

} // namespace

namespace ArchiveDownload {

bool storeArrivedBytes(DownloadAttempt &attempt)
{
    const QByteArray bytes = attempt.reply->readAll();
    if (bytes.isEmpty())
        return true;
    const qint64 written = attempt.file->write(bytes);
    if (written > 0)
        attempt.bytesWritten += written;
    if (written == bytes.size())
        return true;
    attempt.writeFailed = true;
    attempt.writeError = attempt.file->errorString();
    qDebug() << "Failed to write ZIP file:" << attempt.archivePath << attempt.writeError;
    return false;
}

bool flushArchive(DownloadAttempt &attempt)
{
    if (attempt.file->flush())
        return true;
    attempt.writeFailed = true;
    attempt.writeError = attempt.file->errorString();
    qDebug() << "Failed to write ZIP file:" << attempt.archivePath << attempt.writeError;
    return false;
}

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
    const QString archivePath = SyncFiles::archiveFilePath(repo.name);
    const QPointer<QProgressBar> bar = findProgressBar(repo.name);
    if (bar) {
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setVisible(true);
    }

    const QUrl url(repo.download, QUrl::TolerantMode);
    QNetworkReply *head = networkManager->head(QNetworkRequest(url));
    TransferTimeout::watch(head);
    RepoManager *manager = this;
    connect(
        head, &QNetworkReply::finished, head,
        [head, url, manager, archivePath, bar, repo, latestCommitHash] {
            // A failed HEAD counts as one without a length; the GET decides.
            qint64 fileSize = -1;
            const QVariant length = head->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid()) {
                fileSize = length.toLongLong();
                qDebug() << "File size detected:" << fileSize;
            } else {
                qDebug() << "Failed to retrieve file size.";
            }
            head->deleteLater();

            QNetworkRequest request(url);
            request.setRawHeader("Connection", "keep-alive");
            request.setRawHeader("Cache-Control", "no-cache");
            QNetworkReply *reply = manager->networkManager->get(request);
            reply->setReadBufferSize(url.scheme() == QLatin1String("https")
                                         ? tlsArchiveReadBufferSize
                                         : archiveReadBufferSize);
            TransferTimeout::watch(reply);

            auto *file = new QFile(archivePath);
            if (!file->open(QIODevice::WriteOnly)) {
                qDebug() << "Failed to open file for writing:" << file->errorString();
                delete file;
                // Nothing would read this reply; end the transfer instead of leaving it open.
                reply->abort();
                reply->deleteLater();
                return;
            }

            auto attempt = std::make_shared<DownloadAttempt>();
            attempt->reply = reply;
            attempt->file = file;
            attempt->manager = manager;
            attempt->archivePath = archivePath;
            attempt->repo = repo;
            attempt->latestCommitHash = latestCommitHash;
            attempt->bar = bar;

            connect(
                reply, &QNetworkReply::downloadProgress, reply,
                [fileSize, bar](qint64 bytesReceived, qint64 bytesTotal) {
                    if (bar) {
                        if (fileSize > 0)
                            bar->setValue(int(bytesReceived * 100 / fileSize));
                        else
                            bar->setRange(0, 0);
                    }
                    qDebug() << "Downloaded" << bytesReceived << "bytes out of" << bytesTotal;
                },
                Qt::DirectConnection);
            connect(
                reply, &QNetworkReply::readyRead, reply,
                [attempt] {
                    if (!attempt->writeFailed && !ArchiveDownload::storeArrivedBytes(*attempt))
                        attempt->reply->abort();
                },
                Qt::DirectConnection);
            connect(
                reply, &QNetworkReply::finished, reply,
                [attempt] { ArchiveDownload::complete(*attempt); }, Qt::DirectConnection);
            connect(
                reply, &QNetworkReply::errorOccurred, reply,
                [attempt](QNetworkReply::NetworkError code) {
                    // A refused write has been reported; the abort that followed is ours.
                    if (attempt->writeFailed)
                        return;
                    if (TransferTimeout::timedOut(attempt->reply))
                        code = QNetworkReply::TimeoutError;
                    ArchiveDownload::reportError(*attempt, code,
                                                 TransferTimeout::errorString(attempt->reply));
                },
                Qt::DirectConnection);
        },
        Qt::DirectConnection);
}
