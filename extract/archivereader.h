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
    // in large pieces once: the chunk would only add a copy.
    bool readRaw(qint64 offset, char *out, qint64 size);

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
    bool m_failed = false;
};
