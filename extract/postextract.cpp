#include "manifest/repomanager.h"

bool RepoManager::processDownloadedZip(const QString &zipFilePath)
{
    Q_UNUSED(zipFilePath);
    return false;
}
