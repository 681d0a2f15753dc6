#include "extract/zipextractor.h"
#include "launch/columnstatus.h"
#include "manifest/repomanager.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>

bool RepoManager::processDownloadedZip(const QString &zipFilePath)
{
    // The bar is named after the repository: the archive path without its last extension.
    const QByteArray pathBytes = zipFilePath.toUtf8();
    const qsizetype dot = pathBytes.lastIndexOf('.');
    const QString repoName = dot < 0 ? zipFilePath : QString::fromUtf8(pathBytes.left(dot));

    qDebug() << zipFilePath;
    // Found without a log line: a missing bar is logged once, when the step ends.
    ColumnStatus progress = ColumnStatus::findQuietly(this, repoName);
    const ExtractionResult result =
        ZipExtractor::extractZip(zipFilePath, {},
                                 [&progress](InstallPhase, qint64 done, qint64 total) {
                                     progress.extractionProgress(done, total);
                                 });
    if (result.ok()) {
        qDebug() << "Extraction completed successfully!";
        if (QFile::exists(zipFilePath)) {
            if (QFile::remove(zipFilePath))
                qDebug() << "Arquivo ZIP removido com sucesso: " << zipFilePath;
            else
                qDebug() << "Falha ao remover o arquivo ZIP: " << zipFilePath;
        } else {
            qDebug() << "The ZIP file does not exist or has already been removed.";
        }
    } else {
        // The archive stays, so the failure can be looked into.
        qDebug() << "ZIP file extraction failed.";
    }

    // Finished whatever the outcome, so a failed archive does not hold the buttons back; the
    // status line then says why.
    ColumnStatus column = ColumnStatus::find(this, repoName);
    column.extractionEnded();
    if (result.status == ExtractionResult::FileInUse)
        column.failed(UpdateFailure::FileInUse, result.detail);
    else if (!result.ok())
        column.failed(UpdateFailure::Extraction, result.detail);
    return result.ok();
}
