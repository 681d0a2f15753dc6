#pragma once

#include <QString>
#include <QStringList>

class QJsonObject;

// One repository as its manifest entry describes it, parsed once: what its synchronisation needs
// (the six values copied into every asynchronous step) and what its column shows.
struct Repo
{
    QString name;
    QString api;
    QString dir;
    QString exe;
    QString args;
    QString download;

    QString icon;
    QStringList exes;     // the programs, one button each
    QStringList tooltips; // their captions; fewer than the programs read as empty

    QString tooltip(qsizetype i) const { return tooltips.value(i); }
};

// The repository's values from its manifest entry; missing or non-text keys read as empty, and
// non-text elements of the lists as empty text.
Repo repoFromEntry(const QJsonObject &entry);
