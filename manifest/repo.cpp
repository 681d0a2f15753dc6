#include "manifest/repo.h"

#include <QJsonObject>
#include <QJsonValue>

Repo repoFromEntry(const QJsonObject &entry)
{
    Repo repo;
    repo.name = entry.value("name").toString();
    repo.api = entry.value("api").toString();
    repo.dir = entry.value("dir").toString();
    repo.exe = entry.value("exe").toString();
    repo.args = entry.value("args").toString();
    repo.download = entry.value("download").toString();
    return repo;
}
