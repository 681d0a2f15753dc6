#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class QIODevice;

// Builds ZIP archives for tests, written by hand so that no binary fixture is needed and the
// records can take the forms other writers give them.
class ZipBuilder
{
public:
    struct Entry
    {
        QByteArray name; // stored as given, byte for byte; a name ending in "/" is a folder
        QByteArray data;
        bool deflate = true;
        quint32 unixMode = 0;  // 0: none recorded, as Windows tools write; 0120777: a link
        QByteArray extra = {}; // the central record's extra field, as given
        quint64 zeroMiB = 0;   // of zeros after the data, a hole in the file: stored entries only
        // This entry's own form, beside the archive's: ZIP64 fields of its central record, local
        // sizes 0xFFFFFFFF and in a ZIP64 field (0 there after a descriptor), a descriptor.
        int zip64 = 0;
        bool localZip64 = false;
        bool descriptor = false;
    };

    // The fields of a central record that a ZIP64 writer may give as 0xFFFFFFFF.
    enum Zip64Field { Uncompressed = 1, Compressed = 2, Offset = 4 };
    // How the records are written; by default without ZIP64 fields, as most writers do.
    struct Form
    {
        int zip64 = 0;           // fields of every central record given in a ZIP64 extra field
        bool allInExtra = false; // that field holds all three whatever the record gives, as Go
        bool localZip64 = false; // local sizes 0xFFFFFFFF and in a ZIP64 field, as Python, 7-Zip
        bool descriptor = false; // CRC and sizes after the data, local ones 0, as Go streams
        qint64 gap = 0;          // unused bytes before the last entry: a hole in the file
        bool zip64End = false;   // a ZIP64 end record even when not needed, the end record's at ~0
        QByteArray comment = {};
    };

    ZipBuilder &add(const Entry &entry)
    {
        m_entries.append(entry);
        return *this;
    }
    ZipBuilder &addFile(const QByteArray &name, const QByteArray &data, quint32 unixMode = 0)
    {
        return add({name, data, true, unixMode});
    }
    ZipBuilder &addStoredFile(const QByteArray &name, const QByteArray &data)
    {
        return add({name, data, false, 0});
    }

    bool write(const QString &path, const Form &form) const;
    QByteArray bytes(const Form &form) const;
    bool write(const QString &path) const { return write(path, Form()); }
    QByteArray bytes() const { return bytes(Form()); }

    // Damage for tests: sets a field of entry `index` in both its local and its central header,
    // so that the two agree and only the data can give the lie away; the central record alone
    // has the local header's offset, the local header alone its extra field's size.
    enum Field { Crc, UncompressedSize, Flags, Method, HeaderOffset, LocalExtraSize };
    static void patch(QByteArray &archive, int index, Field field, quint32 value);

private:
    bool write(QIODevice &out, const Form &form) const;

    QList<Entry> m_entries;
};
