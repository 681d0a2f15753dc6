#include "manifest/repo.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>

namespace {

QStringList textList(const QJsonValue &value)
{
    QStringList list;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &element : array)
        list.append(element.toString());
    return list;
}

} // namespace

Repo repoFromEntry(const QJsonObject &entry)
{
    Repo repo;
    repo.name = entry.value("name").toString();
    repo.api = entry.value("api").toString();
    repo.dir = entry.value("dir").toString();
    repo.exe = entry.value("exe").toString();
    repo.args = entry.value("args").toString();
    repo.download = entry.value("download").toString();
    repo.icon = entry.value("icon").toString();
    repo.exes = textList(entry.value("exes"));
    repo.tooltips = textList(entry.value("tooltip"));
    return repo;
}
