#include "extract/archivesource.h"

#include <limits>

zlib_filefunc64_def ArchiveSource::fileFunctions()
{
    zlib_filefunc64_def functions;
    functions.zopen64_file = &ArchiveSource::openFile;
    functions.zread_file = &ArchiveSource::readFile;
    functions.zwrite_file = &ArchiveSource::writeFile;
    functions.ztell64_file = &ArchiveSource::tellFile;
    functions.zseek64_file = &ArchiveSource::seekFile;
    functions.zclose_file = &ArchiveSource::closeFile;
    functions.zerror_file = &ArchiveSource::errorFile;
    functions.opaque = this;
    return functions;
}

ArchiveSource *ArchiveSource::self(voidpf opaque)
{
    return static_cast<ArchiveSource *>(opaque);
}

voidpf ZCALLBACK ArchiveSource::openFile(voidpf opaque, const void *, int mode)
{
    ArchiveSource *source = self(opaque);
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    source->m_length = source->open();
    source->m_position = 0;
    return source->m_length < 0 ? nullptr : source;
}

uLong ZCALLBACK ArchiveSource::readFile(voidpf opaque, voidpf, void *buf, uLong size)
{
    ArchiveSource *source = self(opaque);
    const qint64 count = source->readAt(source->m_position, static_cast<char *>(buf), qint64(size));
    source->m_position += count;
    return uLong(count);
}

uLong ZCALLBACK ArchiveSource::writeFile(voidpf, voidpf, const void *, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK ArchiveSource::tellFile(voidpf opaque, voidpf)
{
    return ZPOS64_T(self(opaque)->m_position);
}

long ZCALLBACK ArchiveSource::seekFile(voidpf opaque, voidpf, ZPOS64_T offset, int origin)
{
    ArchiveSource *source = self(opaque);
    qint64 base = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR)
        base = source->m_position;
    else if (origin == ZLIB_FILEFUNC_SEEK_END)
        base = source->m_length;
    else if (origin != ZLIB_FILEFUNC_SEEK_SET)
        return -1;
    // minizip hands a step back as an unsigned wrap-around.
    const qint64 step = qint64(offset);
    if (step > std::numeric_limits<qint64>::max() - base)
        return -1;
    // As a file: a seek past the end succeeds and a read there finds nothing. minizip skips
    // what an extra field shorter than its 4-byte header seems to announce and walks on.
    const qint64 position = base + step;
    if (position < 0)
        return -1;
    source->m_position = position;
    if (origin == ZLIB_FILEFUNC_SEEK_SET)
        source->m_lastSeekTarget = position;
    return 0;
}

int ZCALLBACK ArchiveSource::closeFile(voidpf opaque, voidpf)
{
    self(opaque)->close();
    return 0;
}

int ZCALLBACK ArchiveSource::errorFile(voidpf opaque, voidpf)
{
    return self(opaque)->m_failed ? 1 : 0;
}
