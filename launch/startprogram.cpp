#include "launch/startprogram.h"

#include <QMessageBox>
#include <QProcess>
#include <QString>
#include <QStringList>

bool startProgram(const QString &exe, const QString &args, const QString &workingDir)
{
    // No quoting: an argument never holds a blank, and runs of blanks separate like one.
    const QStringList arguments = args.split(' ', Qt::SkipEmptyParts, Qt::CaseSensitive);
    const QString program = workingDir + "/" + exe;
    if (QProcess::startDetached(program, arguments, workingDir))
        return true;
    QMessageBox::warning(nullptr, "Execution Error", "Failed to start the executable.",
                         QMessageBox::Ok, QMessageBox::NoButton);
    return false;
}
