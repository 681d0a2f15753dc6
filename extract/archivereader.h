#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <ioapi.h>

// Buffered read access to an archive file for minizip, in place of its stdio access, which seeks
// and reads in 16 KiB steps, two system calls each time. minizip reaches the reader through the
// opaque pointer of the file functions, so the reader has to outlive the archive handle.
class ArchiveReader
{
public:
    explicit ArchiveReader(const QString &path);

    zlib_filefunc64_def fileFunctions();
    // Reads exactly size bytes at offset straight from the file, for entry data, which is read
    // in large pieces once, and for scattered headers: the chunk would only add a copy.
    bool readRaw(qint64 offset, char *out, qint64 size);
    // Reads exactly size bytes at offset through the chunk, for the central directory's
    // records, which lie one after the other; minizip's place in the file stays.
    bool readRecord(qint64 offset, char *out, qint64 size);
    // Where minizip last went with an absolute seek: after it moved to a central record, that
    // record's place in the file. Its own offsets leave out the bytes before the archive.
    qint64 lastSeekTarget() const { return m_lastSeekTarget; }

private:
    static ArchiveReader *self(voidpf opaque);
    static voidpf ZCALLBACK open(voidpf opaque, const void *, int mode);
    static uLong ZCALLBACK read(voidpf opaque, voidpf, void *buf, uLong size);
    static uLong ZCALLBACK write(voidpf, voidpf, const void *, uLong);
    static ZPOS64_T ZCALLBACK tell(voidpf opaque, voidpf);
    static long ZCALLBACK seek(voidpf opaque, voidpf, ZPOS64_T offset, int origin);
    static int ZCALLBACK close(voidpf opaque, voidpf);
    static int ZCALLBACK error(voidpf opaque, voidpf);

    uLong readAt(char *out, qint64 size);
    bool fill();

    QFile m_file;
    QByteArray m_chunk;
    qint64 m_size = 0;
    qint64 m_position = 0;
    qint64 m_chunkStart = 0;
    qint64 m_chunkLength = 0;
    qint64 m_lastSeekTarget = 0;
    bool m_failed = false;
};
