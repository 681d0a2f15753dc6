#pragma once

#include <QString>
#include <QtGlobal>

#include <ioapi.h>

// An archive the extraction reads: through minizip's file functions for the central directory,
// and straight for records and entry data. minizip reaches the source through the opaque pointer
// of the file functions, so the source has to outlive the archive handle.
class ArchiveSource
{
public:
    ArchiveSource() = default;
    virtual ~ArchiveSource() = default;
    ArchiveSource(const ArchiveSource &) = delete;
    ArchiveSource &operator=(const ArchiveSource &) = delete;

    // The file the archive's bytes are read from, for messages and minizip's open.
    virtual QString path() const = 0;
    zlib_filefunc64_def fileFunctions();
    // Reads exactly size bytes at offset, for entry data and scattered headers.
    virtual bool readRaw(qint64 offset, char *out, qint64 size) = 0;
    // Reads exactly size bytes at offset, for the central directory's records, which lie one
    // after the other; minizip's place in the archive stays.
    virtual bool readRecord(qint64 offset, char *out, qint64 size)
    {
        return readRaw(offset, out, size);
    }
    // Where minizip last went with an absolute seek: after it moved to a central record, that
    // record's place in the archive. Its own offsets leave out the bytes before the archive.
    qint64 lastSeekTarget() const { return m_lastSeekTarget; }

protected:
    // Makes the archive readable for minizip; its length, or -1.
    virtual qint64 open() = 0;
    virtual void close() {}
    // Reads up to size bytes at position for minizip, which reads whole records: how many.
    virtual qint64 readAt(qint64 position, char *out, qint64 size) = 0;
    // Marks a failed read, which minizip asks for after one came short.
    void fail() { m_failed = true; }
    bool failed() const { return m_failed; }

private:
    static ArchiveSource *self(voidpf opaque);
    static voidpf ZCALLBACK openFile(voidpf opaque, const void *, int mode);
    static uLong ZCALLBACK readFile(voidpf opaque, voidpf, void *buf, uLong size);
    static uLong ZCALLBACK writeFile(voidpf, voidpf, const void *, uLong);
    static ZPOS64_T ZCALLBACK tellFile(voidpf opaque, voidpf);
    static long ZCALLBACK seekFile(voidpf opaque, voidpf, ZPOS64_T offset, int origin);
    static int ZCALLBACK closeFile(voidpf opaque, voidpf);
    static int ZCALLBACK errorFile(voidpf opaque, voidpf);

    qint64 m_length = 0;
    qint64 m_position = 0;
    qint64 m_lastSeekTarget = 0;
    bool m_failed = false;
};
