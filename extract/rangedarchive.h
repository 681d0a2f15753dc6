#pragma once

#include "extract/archivesource.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QMap>
#include <QString>
#include <QtGlobal>

// The parts of an archive that a delta update fetched (its directory and the changed entries),
// as a sparse view of the whole archive: the pieces are appended to a local file as they arrive,
// and a table tells where each one lies in the archive. The extraction reads it as it reads an
// archive file; a read that touches bytes never fetched fails.
class RangedArchive : public ArchiveSource
{
public:
    // minizip looks for the end record in the archive's last this many bytes (all of a shorter
    // archive), reading further back in steps of 1 KiB until it finds it: the view holds them,
    // besides the central directory, or minizip cannot open it.
    static constexpr qint64 endSearchSize = 1028;

    // The pieces go to the file at dataPath, made anew, removed with the view.
    RangedArchive(const QString &dataPath, qint64 archiveLength);
    ~RangedArchive() override;

    qint64 length() const { return m_length; }
    // Adds the archive's bytes from offset on. False when they reach outside the archive or
    // onto bytes held already, or cannot be written.
    bool add(qint64 offset, QByteArrayView bytes);
    // Whether every byte of [offset, offset + size) was fetched.
    bool holds(qint64 offset, qint64 size) const;

    // The file of pieces.
    QString path() const override { return m_file.fileName(); }
    // Reads exactly size bytes at offset; false when any of them was not fetched.
    bool readRaw(qint64 offset, char *out, qint64 size) override;
    bool readRecord(qint64 offset, char *out, qint64 size) override
    {
        return readAt(offset, out, size) == size;
    }

protected:
    qint64 open() override { return failed() ? -1 : m_length; }
    // minizip reads whole records: a read that reaches unfetched bytes yields none of them.
    qint64 readAt(qint64 position, char *out, qint64 size) override;

private:
    struct Piece
    {
        qint64 size = 0;
        qint64 fileOffset = 0;
    };

    QFile m_file;
    qint64 m_length;
    qint64 m_fileEnd = 0;
    QMap<qint64, Piece> m_pieces; // by their offset in the archive
    // The directory is read a record, or a few bytes, at a time: from here, not the file.
    QByteArray m_cache;
    qint64 m_cacheStart = 0;
};
