#pragma once

#include "extract/installindex.h"
#include "extract/rangeplan.h"

#include <QList>
#include <QString>
#include <QtGlobal>

class ZipDirectory;

// What a delta update of an installed repository does, from the new archive's central directory,
// the index of the last install and the files on disk: which entries it fetches by range and
// which it keeps, which installed files it removes, or whether it takes the whole archive after
// all.
struct DeltaPlan
{
    // Above this share of the archive (in tenths), the ranges would save little over the whole
    // archive, while costing requests and a second way to install.
    static constexpr qint64 maxTenths = 6;

    // Indices into the directory's entries.
    QList<qsizetype> unchanged; // same name, CRC-32, size and mode, installed file as written
    QList<qsizetype> fetch;
    QList<qsizetype> withoutData; // folders and skipped entries: nothing to fetch
    InstallIndex::Dropped dropped;
    QList<ByteRange> ranges; // the fetched entries' extents, merged
    QList<QList<ByteRange>> requests;
    qint64 totalBytes = 0;
    // The directory could not be read, an entry cannot be installed from its range, or the
    // ranges are most of the archive.
    bool wholeArchive = true;

    // Whether ranges of total bytes are too much of an archive of the given length.
    static bool tooLarge(qint64 total, qint64 archiveLength)
    {
        return total * 10 > archiveLength * maxTenths;
    }
    static DeltaPlan make(const ZipDirectory &directory, qint64 archiveLength,
                          const InstallIndex &index, const QString &installRoot);
};
