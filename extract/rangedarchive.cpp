#include "extract/rangedarchive.h"

#include <cstring>
#include <iterator>

namespace {

constexpr qint64 cacheSize = 256 * 1024;

} // namespace

RangedArchive::RangedArchive(const QString &dataPath, qint64 archiveLength)
    : m_file(dataPath), m_length(archiveLength)
{
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered))
        fail();
}

RangedArchive::~RangedArchive()
{
    m_file.remove();
}

bool RangedArchive::add(qint64 offset, QByteArrayView bytes)
{
    const qint64 end = offset + bytes.size();
    if (failed() || offset < 0 || bytes.size() > m_length || end > m_length)
        return false;
    // Nothing added overlaps nothing, also where a piece starts.
    if (bytes.isEmpty())
        return true;
    // The piece after the new bytes' start, and the one before, may not reach into them.
    auto next = m_pieces.upperBound(offset);
    if (next != m_pieces.end() && next.key() < end)
        return false;
    auto before = next == m_pieces.begin() ? m_pieces.end() : std::prev(next);
    if (before != m_pieces.end() && before.key() + before->size > offset)
        return false;
    if (!m_file.seek(m_fileEnd) || m_file.write(bytes.data(), bytes.size()) != bytes.size()) {
        fail();
        return false;
    }
    // Bytes that go on where the last piece written ends extend it.
    if (before != m_pieces.end() && before.key() + before->size == offset
        && before->fileOffset + before->size == m_fileEnd)
        before->size += bytes.size();
    else
        m_pieces.insert(offset, {bytes.size(), m_fileEnd});
    m_fileEnd += bytes.size();
    return true;
}

bool RangedArchive::holds(qint64 offset, qint64 size) const
{
    for (auto piece = m_pieces.upperBound(offset); size > 0;) {
        if (piece == m_pieces.begin())
            return false;
        --piece;
        const qint64 available = piece.key() + piece->size - offset;
        if (available <= 0)
            return false;
        offset += qMin(available, size);
        size -= qMin(available, size);
        piece = m_pieces.upperBound(offset);
    }
    return true;
}

bool RangedArchive::readRaw(qint64 offset, char *out, qint64 size)
{
    if (offset < 0 || size < 0 || !holds(offset, size))
        return false;
    while (size > 0) {
        const auto piece = std::prev(m_pieces.upperBound(offset));
        const qint64 count = qMin(size, piece.key() + piece->size - offset);
        if (!m_file.seek(piece->fileOffset + offset - piece.key())
            || m_file.read(out, count) != count) {
            fail();
            return false;
        }
        out += count;
        offset += count;
        size -= count;
    }
    return true;
}

qint64 RangedArchive::readAt(qint64 position, char *out, qint64 size)
{
    const qint64 count = qMin(size, m_length - position);
    if (count <= 0)
        return 0;
    if (position < m_cacheStart || position + count > m_cacheStart + m_cache.size()) {
        const auto after = m_pieces.upperBound(position);
        if (after == m_pieces.begin())
            return 0;
        const qint64 heldEnd = std::prev(after).key() + std::prev(after)->size;
        // A read across pieces is rare: straight from the file.
        if (position + count > heldEnd)
            return readRaw(position, out, count) ? count : 0;
        m_cache.resize(qMin(cacheSize, heldEnd - position));
        m_cacheStart = position;
        if (!readRaw(position, m_cache.data(), m_cache.size())) {
            m_cache.clear();
            return 0;
        }
    }
    std::memcpy(out, m_cache.constData() + (position - m_cacheStart), size_t(count));
    return count;
}
