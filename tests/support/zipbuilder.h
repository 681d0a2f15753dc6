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
        QByteArray name; // stored as given, byte for byte; a name ending in "/" is a folder
        QByteArray data;
        bool deflate = true;
        quint32 unixMode = 0; // 0: none recorded, as Windows tools write; 0120777: a link
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

    bool write(const QString &path) const;
    QByteArray bytes() const;

    // Damage for tests: sets a field of entry `index` in both its local and its central header,
    // so that the two agree and only the data can give the lie away.
    enum Field { Crc, UncompressedSize, Flags, Method };
    static void patch(QByteArray &archive, int index, Field field, quint32 value);

private:
    QList<Entry> m_entries;
};
