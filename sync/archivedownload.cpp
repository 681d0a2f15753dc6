#include "manifest/repomanager.h"

void RepoManager::downloadZip(const Repo &repo, const QString &latestCommitHash)
{
    Q_UNUSED(repo);
    Q_UNUSED(latestCommitHash);
}
