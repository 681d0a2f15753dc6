#include "extract/rangedarchive.h"

#include <iterator>

RangedArchive::RangedArchive(const QString &dataPath, qint64 archiveLength)
    : m_file(dataPath), m_length(archiveLength)
{
    m_failed = !m_file.open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered);
}

RangedArchive::~RangedArchive()
{
    m_file.remove();
}

bool RangedArchive::add(qint64 offset, QByteArrayView bytes)
{
    const qint64 end = offset + bytes.size();
    if (m_failed || offset < 0 || bytes.size() > m_length || end > m_length)
        return false;
    // The piece after the new bytes' start, and the one before, may not reach into them.
    auto next = m_pieces.upperBound(offset);
    if (next != m_pieces.end() && next.key() < end)
        return false;
    auto before = next == m_pieces.begin() ? m_pieces.end() : std::prev(next);
    if (before != m_pieces.end() && before.key() + before->size > offset)
        return false;
    if (bytes.isEmpty())
        return true;
    if (!m_file.seek(m_fileEnd) || m_file.write(bytes.data(), bytes.size()) != bytes.size()) {
        m_failed = true;
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
            m_failed = true;
            return false;
        }
        out += count;
        offset += count;
        size -= count;
    }
    return true;
}

zlib_filefunc64_def RangedArchive::fileFunctions()
{
    zlib_filefunc64_def functions;
    functions.zopen64_file = &RangedArchive::open;
    functions.zread_file = &RangedArchive::read;
    functions.zwrite_file = &RangedArchive::write;
    functions.ztell64_file = &RangedArchive::tell;
    functions.zseek64_file = &RangedArchive::seek;
    functions.zclose_file = &RangedArchive::close;
    functions.zerror_file = &RangedArchive::error;
    functions.opaque = this;
    return functions;
}

RangedArchive *RangedArchive::self(voidpf opaque)
{
    return static_cast<RangedArchive *>(opaque);
}

voidpf ZCALLBACK RangedArchive::open(voidpf opaque, const void *, int mode)
{
    RangedArchive *archive = self(opaque);
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ || archive->m_failed)
        return nullptr;
    archive->m_position = 0;
    return archive;
}

// minizip reads whole records: a read that reaches unfetched bytes yields none of them.
uLong ZCALLBACK RangedArchive::read(voidpf opaque, voidpf, void *buf, uLong size)
{
    RangedArchive *archive = self(opaque);
    const qint64 count = qMin(qint64(size), archive->m_length - archive->m_position);
    if (!archive->readRaw(archive->m_position, static_cast<char *>(buf), count))
        return 0;
    archive->m_position += count;
    return uLong(count);
}

uLong ZCALLBACK RangedArchive::write(voidpf, voidpf, const void *, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK RangedArchive::tell(voidpf opaque, voidpf)
{
    return ZPOS64_T(self(opaque)->m_position);
}

long ZCALLBACK RangedArchive::seek(voidpf opaque, voidpf, ZPOS64_T offset, int origin)
{
    RangedArchive *archive = self(opaque);
    qint64 base = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR)
        base = archive->m_position;
    else if (origin == ZLIB_FILEFUNC_SEEK_END)
        base = archive->m_length;
    else if (origin != ZLIB_FILEFUNC_SEEK_SET)
        return -1;
    const qint64 position = base + qint64(offset);
    if (position < 0 || position > archive->m_length)
        return -1;
    archive->m_position = position;
    return 0;
}

int ZCALLBACK RangedArchive::close(voidpf, voidpf)
{
    return 0;
}

int ZCALLBACK RangedArchive::error(voidpf opaque, voidpf)
{
    return self(opaque)->m_failed ? 1 : 0;
}
