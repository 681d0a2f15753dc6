#include "extract/archivereader.h"

#include <cstring>
#include <limits>

namespace {

// The archive is read in chunks of this size.
constexpr qint64 readChunkSize = 256 * 1024;

} // namespace

ArchiveReader::ArchiveReader(const QString &path) : m_file(path)
{
}

zlib_filefunc64_def ArchiveReader::fileFunctions()
{
    zlib_filefunc64_def functions;
    functions.zopen64_file = &ArchiveReader::open;
    functions.zread_file = &ArchiveReader::read;
    functions.zwrite_file = &ArchiveReader::write;
    functions.ztell64_file = &ArchiveReader::tell;
    functions.zseek64_file = &ArchiveReader::seek;
    functions.zclose_file = &ArchiveReader::close;
    functions.zerror_file = &ArchiveReader::error;
    functions.opaque = this;
    return functions;
}

bool ArchiveReader::readRaw(qint64 offset, char *out, qint64 size)
{
    return offset >= 0 && m_file.seek(offset) && m_file.read(out, size) == size;
}

bool ArchiveReader::readRecord(qint64 offset, char *out, qint64 size)
{
    const qint64 position = m_position;
    m_position = offset;
    const bool read = offset >= 0 && qint64(readAt(out, size)) == size;
    m_position = position;
    return read;
}

ArchiveReader *ArchiveReader::self(voidpf opaque)
{
    return static_cast<ArchiveReader *>(opaque);
}

voidpf ZCALLBACK ArchiveReader::open(voidpf opaque, const void *, int mode)
{
    ArchiveReader *reader = self(opaque);
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ
        || !reader->m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return nullptr;
    reader->m_size = reader->m_file.size();
    return reader;
}

uLong ZCALLBACK ArchiveReader::read(voidpf opaque, voidpf, void *buf, uLong size)
{
    return self(opaque)->readAt(static_cast<char *>(buf), qint64(size));
}

uLong ZCALLBACK ArchiveReader::write(voidpf, voidpf, const void *, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK ArchiveReader::tell(voidpf opaque, voidpf)
{
    return self(opaque)->m_position;
}

long ZCALLBACK ArchiveReader::seek(voidpf opaque, voidpf, ZPOS64_T offset, int origin)
{
    ArchiveReader *reader = self(opaque);
    qint64 base = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR)
        base = reader->m_position;
    else if (origin == ZLIB_FILEFUNC_SEEK_END)
        base = reader->m_size;
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
    reader->m_position = position;
    if (origin == ZLIB_FILEFUNC_SEEK_SET)
        reader->m_lastSeekTarget = position;
    return 0;
}

int ZCALLBACK ArchiveReader::close(voidpf opaque, voidpf)
{
    self(opaque)->m_file.close();
    return 0;
}

int ZCALLBACK ArchiveReader::error(voidpf opaque, voidpf)
{
    return self(opaque)->m_failed ? 1 : 0;
}

uLong ArchiveReader::readAt(char *out, qint64 size)
{
    qint64 done = 0;
    while (done < size && m_position < m_size) {
        if (m_position < m_chunkStart || m_position >= m_chunkStart + m_chunkLength) {
            if (!fill())
                break;
        }
        const qint64 offset = m_position - m_chunkStart;
        const qint64 count = qMin(size - done, m_chunkLength - offset);
        std::memcpy(out + done, m_chunk.constData() + offset, size_t(count));
        done += count;
        m_position += count;
    }
    return uLong(done);
}

bool ArchiveReader::fill()
{
    if (m_chunk.isEmpty())
        m_chunk.resize(readChunkSize);
    m_chunkStart = m_position;
    m_chunkLength = 0;
    if (!m_file.seek(m_position)) {
        m_failed = true;
        return false;
    }
    const qint64 count = m_file.read(m_chunk.data(), readChunkSize);
    if (count <= 0) {
        m_failed = count < 0;
        return false;
    }
    m_chunkLength = count;
    return true;
}
