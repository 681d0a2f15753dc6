#include "extract/postextract.h"

#include <QDebug>
#include <QFile>

ExtractionResult installArchive(const QString &zipFilePath, const CommitRecord &record,
                                const ZipExtractor::Progress &progress)
{
    qDebug() << zipFilePath;
    const ExtractionResult result = ZipExtractor::extractZip(zipFilePath, record, progress);
    if (!result.ok()) {
        qDebug() << "ZIP file extraction failed.";
        return result;
    }
    qDebug() << "Extraction completed successfully!";
    if (!QFile::exists(zipFilePath))
        qDebug() << "The ZIP file does not exist or has already been removed.";
    else if (QFile::remove(zipFilePath))
        qDebug() << "Arquivo ZIP removido com sucesso: " << zipFilePath;
    else
        qDebug() << "Falha ao remover o arquivo ZIP: " << zipFilePath;
    return result;
}
