#include "extract/installroot.h"

#include <QStandardPaths>

QString installRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}
