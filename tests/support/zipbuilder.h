#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Builds ZIP archives for tests with minizip's writing API, so no binary fixture is needed.
class ZipBuilder
{
public:
    struct Entry
    {
        QByteArray name; // stored as given, byte for byte
        QByteArray data;
        bool deflate = true;
        // Unix mode recorded in the external attributes (0: none, as Windows tools write).
        quint32 unixMode = 0;
        // Damage for tests of broken archives: one byte of the stored (compressed) data flipped
        // while the headers keep the checksum of the original, and an uncompressed size in the
        // headers that differs from the data (-1: the true size).
        bool corruptData = false;
        qint64 declaredSize = -1;
    };

    ZipBuilder &addFile(const QByteArray &name, const QByteArray &data, quint32 unixMode = 0);
    ZipBuilder &addStoredFile(const QByteArray &name, const QByteArray &data);
    ZipBuilder &addDirectory(const QByteArray &name);
    ZipBuilder &addSymlink(const QByteArray &name, const QByteArray &target);
    ZipBuilder &add(const Entry &entry);

    bool write(const QString &path) const;
    QByteArray bytes() const;

    const QList<Entry> &entries() const { return m_entries; }

private:
    QList<Entry> m_entries;
};
