#include "extract/diskspace.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace DiskSpace {

std::function<qint64(const QString &folder)> freeSpaceHook;

std::optional<QString> shortfall(const QString &folder, qint64 needed)
{
    // A folder not made yet stands on its nearest existing parent's volume.
    QString existing = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!QFileInfo(existing).isDir() && QFileInfo(existing).path() != existing)
        existing = QFileInfo(existing).path();
    const QStorageInfo volume(existing);
    const qint64 free = freeSpaceHook      ? freeSpaceHook(folder)
                        : volume.isValid() ? volume.bytesAvailable()
                                           : -1;
    if (free < 0 || free >= needed)
        return std::nullopt;
    return QStringLiteral("%1 needed on %2, %3 free")
        .arg(sizeText(needed), QDir::toNativeSeparators(folder), sizeText(free));
}

QString sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    const char *units[] = {"KB", "MB", "GB", "TB"};
    int unit = 0;
    qint64 scale = 1024;
    while (unit < 3 && bytes / scale >= 1024) {
        scale *= 1024;
        ++unit;
    }
    const qint64 tenths = bytes * 10 / scale;
    const QString number = tenths < 100 ? QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10)
                                        : QString::number(bytes / scale);
    return number + ' ' + QLatin1String(units[unit]);
}

} // namespace DiskSpace
