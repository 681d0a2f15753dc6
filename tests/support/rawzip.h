#pragma once

#include <QByteArray>
#include <QList>

// Writes stored ZIP archives byte by byte, with what minizip's writer leaves out or decides on its
// own: data descriptors, ZIP64 extra fields and end records, an archive comment.
class RawZip
{
public:
    struct Entry
    {
        QByteArray name;
        QByteArray data;
        bool descriptor = false; // sizes and CRC after the data (bit 3), with its signature
        bool zip64 = false;      // sizes and offset in ZIP64 extra fields
    };

    RawZip &add(const Entry &entry)
    {
        m_entries.append(entry);
        return *this;
    }
    RawZip &setZip64End(bool on)
    {
        m_zip64End = on;
        return *this;
    }
    RawZip &setComment(const QByteArray &comment)
    {
        m_comment = comment;
        return *this;
    }
    QByteArray bytes() const;

    // Where the central directory starts, as the end record tells it.
    static qint64 directoryOffset(const QByteArray &archive);
    // Overwrites size bytes (2, 4 or 8) at offset of the central record of entry index.
    static void patchCentral(QByteArray &archive, int index, int offset, quint64 value, int size);

private:
    QList<Entry> m_entries;
    QByteArray m_comment;
    bool m_zip64End = false;
};
