#include "extract/zipextractor.h"
#include "manifest/repomanager.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QProgressBar>

bool RepoManager::processDownloadedZip(const QString &zipFilePath)
{
    qDebug() << zipFilePath;
    const bool extracted = ZipExtractor::extractZip(zipFilePath);
    if (extracted) {
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

    // The bar is named after the repository: the archive path without its last extension.
    // Finished whatever the outcome, so a failed archive does not hold the buttons back.
    const QByteArray pathBytes = zipFilePath.toUtf8();
    const qsizetype dot = pathBytes.lastIndexOf('.');
    const QString repoName = dot < 0 ? zipFilePath : QString::fromUtf8(pathBytes.left(dot));
    if (QProgressBar *bar = findProgressBar(repoName)) {
        bar->setRange(0, 100);
        bar->setValue(100);
        bar->setVisible(false);
    }
    return extracted;
}
