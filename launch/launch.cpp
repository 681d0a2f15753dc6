#include "manifest/repomanager.h"

void RepoManager::launchExecutable(const QString &exe, const QString &args, const QString &workingDir)
{
    Q_UNUSED(exe);
    Q_UNUSED(args);
    Q_UNUSED(workingDir);
}
