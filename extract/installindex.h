#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <optional>

class ZipDirectory;
struct ZipEntry;

// What the last install of a repository wrote: the archive it came from, each entry of that
// archive, and each installed file as it was once written. A delta update compares the next
// archive's directory with it to fetch only the entries that changed, and the launcher's start
// compares the install root with it to notice files that went missing.
struct InstallIndex
{
    struct Entry
    {
        QString name; // the entry's name, its path below the install root
        quint32 crc32 = 0;
        qint64 compressedSize = 0;
        qint64 uncompressedSize = 0;
        quint16 method = 0;
        qint64 localHeaderOffset = 0;
        qint64 extentEnd = 0; // where its bytes in the archive end
        // The installed file's size and modification time (ms since the epoch) as read back
        // once written; -1 when the entry installed no file (a folder, a skipped entry).
        qint64 fileSize = -1;
        qint64 modified = 0;
        quint32 unixMode = 0; // as ZipEntry::unixMode(): a new mode is a new file

        bool installedFile() const { return fileSize >= 0; }
    };

    QString url;
    qint64 archiveLength = 0;
    QByteArray validator; // the archive's ETag or Last-Modified
    QList<Entry> entries;

    // The index of an archive just installed into installRoot: its entries with their extents,
    // and the files as they are now on disk (none for a folder, a skipped or a missing one).
    static InstallIndex record(const ZipDirectory &directory, const QString &url,
                               qint64 archiveLength, const QByteArray &validator,
                               const QString &installRoot);

    // Whether installing the entry writes a file: not for a folder, nor for a skipped entry.
    static bool installsFile(const ZipEntry &entry);

    // <install root>/.veltro-update/index/<repository name>.idx
    static QString path(const QString &installRoot, const QString &repoName);

    // None for anything but a complete, well-formed index: every field in its one spelling, the
    // entries' count as announced, no name twice, extents inside the archive.
    static std::optional<InstallIndex> parse(const QByteArray &text);
    QByteArray serialize() const;
    static std::optional<InstallIndex> read(const QString &path);
    // Replaces the file whole or leaves it as it was.
    bool write(const QString &path) const;

    // The installed files that are missing or have another size than written: existence and
    // size only, nothing read, so that it is quick enough for every start.
    QStringList changedFiles(const QString &installRoot) const;
    // The installed files whose contents differ from what was installed: each file read whole
    // and its CRC-32 compared with its entry's. progress(done, total) is called after each file.
    QStringList differingFiles(const QString &installRoot,
                               const std::function<void(qint64, qint64)> &progress = {}) const;

    // The installed files the next version no longer holds (a name of it in another letter case
    // counts as held: on Windows it is the same file). Those exactly as installed (size and
    // modification time) may go; the others were changed since, or are gone.
    struct Dropped
    {
        QStringList removable;
        QStringList changed;
    };
    Dropped dropped(const QStringList &newNames, const QString &installRoot) const;
};

// A file's size and modification time as the index holds them; size -1 when there is no file.
struct InstalledFileState
{
    qint64 size = -1;
    qint64 modified = 0;

    static InstalledFileState of(const QString &path);
    bool matches(const InstallIndex::Entry &entry) const
    {
        return entry.installedFile() && size == entry.fileSize && modified == entry.modified;
    }
};
