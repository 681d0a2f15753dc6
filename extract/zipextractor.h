#pragma once

#include <QString>

#include <unzip.h>

class ArchiveReader;
class EntryInflater;

// Extracts a downloaded repository archive into the install root, entry by entry.
// Keeps no state: everything lives for the duration of one call.
class ZipExtractor
{
public:
    // True when every entry was extracted, skipped or found to be a folder; false at the first
    // failing entry (entries written before it stay).
    static bool extractZip(const QString &zipFilePath);
    // Extracts the entry the archive handle stands at, under root; its data is read through
    // archive, the file the handle reads.
    static bool extractCurrentFile(unzFile zipFile, ArchiveReader &archive,
                                   EntryInflater &inflater, const QString &root);
};
