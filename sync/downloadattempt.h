#pragma once

#include "manifest/repo.h"

#include <QNetworkReply>
#include <QPointer>
#include <QProgressBar>
#include <QString>

class QFile;
class RepoManager;

// What the handlers of one archive GET share. They hold it together and drop it with the reply.
struct DownloadAttempt
{
    QNetworkReply *reply = nullptr;
    QFile *file = nullptr; // no parent; released by the completion
    RepoManager *manager = nullptr;
    QString archivePath;
    Repo repo;
    QString latestCommitHash;
    QPointer<QProgressBar> bar;
    qint64 bytesWritten = 0;
    // Set when the archive file refused bytes; the attempt fails with Qt's text for it.
    bool writeFailed = false;
    QString writeError;
};

namespace ArchiveDownload {

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
