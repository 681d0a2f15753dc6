#pragma once

#include <QString>

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
