#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

#include <unzip.h>

class ArchiveReader;
class EntryInflater;
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
    };
    Status status = Damaged;
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
    // The uncompressed size of all the archive's entries, as its central directory tells it;
    // -1 when the archive cannot be read.
    static qint64 entriesSize(const QString &zipFilePath);
    // Extracts the entry the archive handle stands at, found at place in the file, into the
    // staged install; its data is read through archive, the file the handle reads.
    static ExtractionResult extractCurrentFile(unzFile zipFile, ArchiveReader &archive,
                                               EntryInflater &inflater, StagedInstall &install,
                                               const EntryPlace &place);
};
