#pragma once

#include <QString>

#include <unzip.h>

// Extracts a downloaded repository archive into the install root, entry by entry.
// Keeps no state: everything lives for the duration of one call.
class ZipExtractor
{
public:
    // True when every entry was extracted, skipped or found to be a folder; false at the first
    // failing entry (entries written before it stay).
    static bool extractZip(const QString &zipFilePath);
    // Extracts the entry the archive handle stands at, under root.
    static bool extractCurrentFile(unzFile zipFile, const QString &root);
};
