#include "launch/startprogram.h"
#include "extract/installroot.h"
#include "manifest/repomanager.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QMessageBox>
#include <QProcess>
#include <QString>
#include <QStringList>

void startProgram(RepoManager *manager, const QString &exe, const QJsonObject &entry)
{
    const QString workingDir = installRoot() + "/" + entry.value("dir").toString();
    manager->launchExecutable(exe, entry.value("args").toString(), workingDir);
}

void RepoManager::launchExecutable(const QString &exe, const QString &args,
                                   const QString &workingDir)
{
    // No quoting: an argument never holds a blank, and runs of blanks separate like one.
    const QStringList arguments = args.split(' ', Qt::SkipEmptyParts, Qt::CaseSensitive);
    const QString program = workingDir + "/" + exe;
    if (!QProcess::startDetached(program, arguments, workingDir)) {
        QMessageBox::warning(nullptr, "Execution Error", "Failed to start the executable.",
                             QMessageBox::Ok, QMessageBox::NoButton);
    }
}
