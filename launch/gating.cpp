#include "manifest/repomanager.h"

#include <QProgressBar>

void RepoManager::disableAllButtons() {}
void RepoManager::enableButtonsIfComplete() {}
QProgressBar *RepoManager::findProgressBar(const QString &repoName)
{
    Q_UNUSED(repoName);
    return nullptr;
}
