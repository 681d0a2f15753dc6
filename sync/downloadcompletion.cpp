#include "manifest/repomanager.h"

#include "sync/downloadattempt.h"
#include "sync/syncfiles.h"
#include "sync/transfertimeout.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QScopeGuard>

namespace {

// Qt may end a reply whose connection closed mid-body without an error, holding a short body.
// Only an unencoded body can be measured against the announced length, and a chunked one
// announces none.
bool cutShort(const DownloadAttempt &attempt)
{
    const QVariant announced = attempt.reply->header(QNetworkRequest::ContentLengthHeader);
    const QByteArray encoding = attempt.reply->rawHeader("Content-Encoding").trimmed().toLower();
    const QByteArray transfer = attempt.reply->rawHeader("Transfer-Encoding").toLower();
    if (!announced.isValid() || !(encoding.isEmpty() || encoding == "identity")
        || transfer.contains("chunked"))
        return false;
    return attempt.bytesWritten < announced.toLongLong();
}

} // namespace

namespace ArchiveDownload {

void complete(DownloadAttempt &attempt)
{
    QNetworkReply *reply = attempt.reply;
    const auto release = qScopeGuard([&attempt, reply] {
        reply->deleteLater();
        attempt.file.reset();
    });
    bool failed = true;
    QString failure;
    if (attempt.writeFailure) {
        failure = *attempt.writeFailure;
    } else if (TransferTimeout::error(reply) != QNetworkReply::NoError) {
        failure = TransferTimeout::errorString(reply);
    } else if (!storeArrivedBytes(attempt) || !flushArchive(attempt)) {
        failure = *attempt.writeFailure;
    } else if (cutShort(attempt)) {
        // The same report and retry as when Qt tells of the closed connection itself.
        failure = QCoreApplication::translate("QHttp", "Connection closed");
        reportError(attempt, QNetworkReply::RemoteHostClosedError, failure);
    } else {
        failed = false;
    }

    if (failed) {
        qDebug() << "Failed to download ZIP: " << failure;
        if (attempt.bar) {
            attempt.bar->setRange(0, 100);
            attempt.bar->setValue(0);
        }
    } else {
        qDebug() << "ZIP file downloaded successfully!";
        attempt.file->close();
        // A failed extraction leaves the old commit id, so the next start tries again.
        if (attempt.manager->processDownloadedZip(attempt.archivePath))
            SyncFiles::writeRecordedCommit(attempt.repo.name, attempt.latestCommitHash);
        if (attempt.bar) {
            attempt.bar->setRange(0, 100);
            attempt.bar->setValue(100);
        }
    }
    attempt.manager->enableButtonsIfComplete();
}

} // namespace ArchiveDownload
