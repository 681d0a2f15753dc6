#pragma once

#include <QByteArray>
#include <QList>

// Writes stored ZIP archives byte by byte, with what minizip's writer leaves out or decides on its
// own: data descriptors, ZIP64 extra fields and end records, an archive comment.
struct RawZip
{
    struct Entry
    {
        QByteArray name;
        QByteArray data;
        bool descriptor = false; // sizes and CRC after the data (bit 3), with its signature
        // In ZIP64 extra fields: 1 the size, 2 the compressed size, 4 the offset in the central
        // record; any of them: both sizes in the local header.
        int zip64 = 0;
    };

    QByteArray bytes() const;

    // Where the central directory starts, as the end record tells it.
    static qint64 directoryOffset(const QByteArray &archive);
    // Overwrites size bytes (2, 4 or 8) at offset of the central record of entry index.
    static void patchCentral(QByteArray &archive, int index, int offset, quint64 value, int size);

    QList<Entry> entries;
    QByteArray comment;
    bool zip64End = false; // a ZIP64 end record and locator, the end record's fields at 0xFFFF...
};
