#include "extract/archivereader.h"

#include <cstring>

namespace {

// The archive is read in chunks of this size.
constexpr qint64 readChunkSize = 256 * 1024;

} // namespace

ArchiveReader::ArchiveReader(const QString &path) : m_file(path)
{
}

bool ArchiveReader::readRaw(qint64 offset, char *out, qint64 size)
{
    return offset >= 0 && m_file.seek(offset) && m_file.read(out, size) == size;
}

bool ArchiveReader::readRecord(qint64 offset, char *out, qint64 size)
{
    return offset >= 0 && readAt(offset, out, size) == size;
}

qint64 ArchiveReader::open()
{
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return -1;
    m_size = m_file.size();
    return m_size;
}

qint64 ArchiveReader::readAt(qint64 position, char *out, qint64 size)
{
    qint64 done = 0;
    while (done < size && position < m_size) {
        if (position < m_chunkStart || position >= m_chunkStart + m_chunkLength) {
            if (!fill(position))
                break;
        }
        const qint64 offset = position - m_chunkStart;
        const qint64 count = qMin(size - done, m_chunkLength - offset);
        std::memcpy(out + done, m_chunk.constData() + offset, size_t(count));
        done += count;
        position += count;
    }
    return done;
}

bool ArchiveReader::fill(qint64 position)
{
    if (m_chunk.isEmpty())
        m_chunk.resize(readChunkSize);
    m_chunkStart = position;
    m_chunkLength = 0;
    if (!m_file.seek(position)) {
        fail();
        return false;
    }
    const qint64 count = m_file.read(m_chunk.data(), readChunkSize);
    if (count <= 0) {
        if (count < 0)
            fail();
        return false;
    }
    m_chunkLength = count;
    return true;
}
