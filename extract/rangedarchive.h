#pragma once

#include <QByteArrayView>
#include <QFile>
#include <QMap>
#include <QString>
#include <QtGlobal>

#include <ioapi.h>

// The parts of an archive that a delta update fetched (its directory and the changed entries),
// as a sparse view of the whole archive: the pieces are appended to a local file as they arrive,
// and a table tells where each one lies in the archive. Read through minizip file functions and
// readRaw, in the shape of ArchiveReader, so the extraction opens it as it opens an archive on
// disk; a read that touches bytes never fetched fails. Like ArchiveReader, it must outlive the
// archive handle that reads through it.
class RangedArchive
{
public:
    // The pieces go to the file at dataPath, made anew, removed with the view.
    RangedArchive(const QString &dataPath, qint64 archiveLength);
    ~RangedArchive();
    RangedArchive(const RangedArchive &) = delete;
    RangedArchive &operator=(const RangedArchive &) = delete;

    qint64 length() const { return m_length; }
    // Adds the archive's bytes from offset on. False when they reach outside the archive or
    // onto bytes held already, or cannot be written.
    bool add(qint64 offset, QByteArrayView bytes);
    // Whether every byte of [offset, offset + size) was fetched.
    bool holds(qint64 offset, qint64 size) const;

    zlib_filefunc64_def fileFunctions();
    // Reads exactly size bytes at offset; false when any of them was not fetched.
    bool readRaw(qint64 offset, char *out, qint64 size);

private:
    struct Piece
    {
        qint64 size = 0;
        qint64 fileOffset = 0;
    };

    static RangedArchive *self(voidpf opaque);
    static voidpf ZCALLBACK open(voidpf opaque, const void *, int mode);
    static uLong ZCALLBACK read(voidpf opaque, voidpf, void *buf, uLong size);
    static uLong ZCALLBACK write(voidpf, voidpf, const void *, uLong);
    static ZPOS64_T ZCALLBACK tell(voidpf opaque, voidpf);
    static long ZCALLBACK seek(voidpf opaque, voidpf, ZPOS64_T offset, int origin);
    static int ZCALLBACK close(voidpf, voidpf);
    static int ZCALLBACK error(voidpf opaque, voidpf);

    QFile m_file;
    qint64 m_length;
    qint64 m_fileEnd = 0;
    QMap<qint64, Piece> m_pieces; // by their offset in the archive
    qint64 m_position = 0;
    bool m_failed = false;
};
