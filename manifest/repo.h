#pragma once

#include <QString>

class QJsonObject;

// What the synchronisation of one repository needs, copied into every asynchronous step.
struct Repo
{
    QString name;
    QString api;
    QString dir;
    QString exe;
    QString args;
    QString download;
};

// The repository's values from its manifest entry; missing or non-text keys read as empty.
Repo repoFromEntry(const QJsonObject &entry);
