#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

#include <unzip.h>

class ArchiveReader;
class EntryInflater;
class StagedInstall;

// How an extraction ended.
struct ExtractionResult
{
    enum Status {
        Extracted,
        Failed,    // detail: the entry at fault, or the archive's file name
        FileInUse, // detail: the installed file that could not be replaced
    };
    Status status = Failed;
    QString detail;

    bool ok() const { return status == Extracted; }
};

// Extracts a downloaded repository archive into the install root, all or nothing: the entries
// are written into a staging folder and moved into place once every one of them was, so a
// failure leaves the installed version as it was. Keeps no state: everything lives for the
// duration of one call.
class ZipExtractor
{
public:
    // Bytes of the archive's entries written so far and in all; called now and then, at most
    // about a hundred times per archive plus every 100 ms.
    using Progress = std::function<void(qint64 done, qint64 total)>;

    static ExtractionResult extractZip(const QString &zipFilePath, const Progress &progress = {});
    // The same into another folder than the install root.
    static ExtractionResult extractInto(const QString &zipFilePath, const QString &root,
                                        const Progress &progress = {});
    // Extracts the entry the archive handle stands at into the staged install; its data is read
    // through archive, the file the handle reads. failedEntry names the entry once it is known.
    static bool extractCurrentFile(unzFile zipFile, ArchiveReader &archive, EntryInflater &inflater,
                                   StagedInstall &install, QString &failedEntry);
};
