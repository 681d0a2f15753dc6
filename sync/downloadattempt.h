#pragma once

#include "manifest/repo.h"
#include "sync/boundedreader.h"

#include <QFile>
#include <QMetaObject>
#include <QNetworkReply>
#include <QPointer>
#include <QProgressBar>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

class QNetworkAccessManager;
class RepoManager;

// What the steps of one download attempt share, from the HEAD to the end of the GET. The
// handlers hold it together and drop it with their reply, the archive file with it.
struct DownloadAttempt
{
    RepoManager *manager = nullptr;
    QNetworkAccessManager *network = nullptr;
    Repo repo;
    QString latestCommitHash;
    QString archivePath;
    QUrl url;
    QPointer<QProgressBar> bar;
    qint64 fileSize = -1; // from the HEAD; -1 when it gave none
    QNetworkReply *reply = nullptr; // the GET
    std::unique_ptr<QFile> file;
    QMetaObject::Connection errorHandler;
    qint64 bytesWritten = 0;
    BoundedReader reader;
    // Qt's text for bytes the archive file refused; the attempt fails with it.
    std::optional<QString> writeFailure;
};

namespace ArchiveDownload {

// The HEAD has finished: reads the size, releases the HEAD and goes on with the GET.
void headFinished(QNetworkReply *head, const std::shared_ptr<DownloadAttempt> &attempt);
// Sends the GET of the archive.
QNetworkReply *sendGet(const DownloadAttempt &attempt);
// Opens the archive file; when it cannot, ends the GET, which nothing would read.
bool openArchive(DownloadAttempt &attempt);
// Connects progress, arrival, completion and error handlers to the GET, in that order.
void connectHandlers(const std::shared_ptr<DownloadAttempt> &attempt);

void showProgress(const DownloadAttempt &attempt, qint64 bytesReceived, qint64 bytesTotal);
// readyRead: stores what has arrived; a refused write ends the attempt.
void receive(DownloadAttempt &attempt);
// Ends the GET on our side. The error handler goes first: this end is not a network error and
// must not be reported or retried as one.
void abort(DownloadAttempt &attempt);

// Moves what has arrived into the archive file. False, with the failure logged, when the file
// took fewer bytes than it was given.
bool storeArrivedBytes(DownloadAttempt &attempt);
// Pushes buffered bytes to disk; false, logged, when that falls short.
bool flushArchive(DownloadAttempt &attempt);

// The "Download error:" report, with a retry in 2 s for a closed connection or a time-out.
void reportError(const DownloadAttempt &attempt, QNetworkReply::NetworkError code,
                 const QString &text);

// Ends the attempt once the GET has finished, successful or not.
void complete(DownloadAttempt &attempt);

} // namespace ArchiveDownload
