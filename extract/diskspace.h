#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

// Whether a folder's volume has room for what is about to be written there.
namespace DiskSpace {

// "X needed on <folder>, Y free" when the folder's volume has fewer than needed bytes free;
// nothing when it has enough or its free space cannot be told.
std::optional<QString> shortfall(const QString &folder, qint64 needed);

// Binary units with the names Windows shows ("312 MB", "1.1 GB"); one decimal below 10.
QString sizeText(qint64 bytes);

// Test seam: the free bytes of a folder's volume instead of the system's answer.
extern std::function<qint64(const QString &folder)> freeSpaceHook;

} // namespace DiskSpace
