#pragma once

#include "extract/installjournal.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>

#include <unzip.h>

class ArchiveSource;
class EntryInflater;
class RangedArchive;
class StagedInstall;
struct EntryPlace;

// How an extraction ended.
struct ExtractionResult
{
    enum Status {
        Extracted,
        Missing,     // no archive file; detail: its file name
        Damaged,     // not an archive that can be installed (not a ZIP, a checksum or size that
                     // does not match, a bad header, overlapping entries, unreadable data, a
                     // refused name); detail: the entry, or the archive's file name
        WriteFailed, // a file or folder could not be written; detail: the entry
        FileInUse,   // detail: the installed file that could not be replaced
        NoSpace,     // detail: "X needed on <folder>, Y free"
        // detail: the hash file, ": " and the system's reason; the earlier version stays whole
        RecordUnwritable,
        // detail: the installed file that could not be put back; the next start does it
        RestoreFailed,
    };
    Status status = Damaged;
    QString detail;

    bool ok() const { return status == Extracted; }
};

// What an extraction is busy with, for the caller's words ("Installing: moving files").
enum class InstallPhase {
    Extracting, // done, total: bytes of the archive's entries
    Moving,     // done, total: files moved into place, put back or deleted
};

// Extracts a downloaded repository archive into the install root, all or nothing: the entries
// are written into a staging folder and moved into place once every one of them was, so a
// failure leaves the installed version as it was. Keeps no state: everything lives for the
// duration of one call.
class ZipExtractor
{
public:
    // How far the phase is; while extracting called at most about a hundred times per archive
    // plus every 100 ms, while moving every 100 ms and once all is done.
    using Progress = std::function<void(InstallPhase phase, qint64 done, qint64 total)>;

    // Once every file is in place, record is written as part of the install: on any failure
    // the earlier version and its record stay.
    static ExtractionResult extractZip(const QString &zipFilePath, const CommitRecord &record,
                                       const Progress &progress = {});
    // The same into another folder than the install root.
    static ExtractionResult extractInto(const QString &zipFilePath, const QString &root,
                                        const CommitRecord &record, const Progress &progress = {});
    // The same for an archive a delta update fetched in part: only the entries whose wanted
    // value is true (one for each entry, in the order of the central directory) are written,
    // the others left as they are on disk, none of their bytes read. A damaged archive's detail
    // is the name of the file of pieces.
    static ExtractionResult extractFetched(RangedArchive &archive, const QList<bool> &wanted,
                                           const QString &root, const CommitRecord &record,
                                           const Progress &progress = {});
    // The uncompressed size of all the archive's entries, as its central directory tells it;
    // -1 when the archive cannot be read.
    static qint64 entriesSize(const QString &zipFilePath);
    // Extracts the entry the archive handle stands at, found at place in the file, into the
    // staged install; its data is read through archive, the file the handle reads.
    static ExtractionResult extractCurrentFile(unzFile zipFile, ArchiveSource &archive,
                                               EntryInflater &inflater, StagedInstall &install,
                                               const EntryPlace &place);

private:
    // Installs the entries that wanted holds true for, or all of them when it is null.
    static ExtractionResult install(ArchiveSource &source, const QList<bool> *wanted,
                                    const QString &root, const CommitRecord &record,
                                    const Progress &progress);
};
