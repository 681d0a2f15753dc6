#include "extract/entryinflater.h"

#include "extract/archivesource.h"

#include <QFile>

#include <libdeflate.h>

namespace {

// Deflated entries up to this size are inflated whole; larger ones stream, so memory stays
// bounded (about 17 MiB at most).
constexpr quint64 wholeEntryLimit = 8 * 1024 * 1024;
// Deflate can grow incompressible data a little; beyond this an entry is no small one whatever
// its header says.
constexpr quint64 wholeEntryInputLimit = wholeEntryLimit + wholeEntryLimit / 8 + 4096;
// write() copies into the page cache fastest while the piece is still in the CPU cache: 64 KiB
// pieces cost a third of the kernel time of 1 MiB ones.
constexpr qint64 writePiece = 64 * 1024;
constexpr qint64 inputChunk = 256 * 1024;

} // namespace

EntryInflater::EntryInflater() : m_decompressor(libdeflate_alloc_decompressor())
{
}

EntryInflater::~EntryInflater()
{
    if (m_decompressor)
        libdeflate_free_decompressor(m_decompressor);
    if (m_streamReady)
        inflateEnd(&m_stream);
}

EntryInflater::Result EntryInflater::inflate(ArchiveSource &archive, qint64 offset,
                                             const unz_file_info64 &info, int method, QFile &out)
{
    m_crc = 0;
    m_written = 0;
    const bool deflated = method == Z_DEFLATED;
    if (deflated && m_decompressor && info.uncompressed_size <= wholeEntryLimit
        && info.compressed_size <= wholeEntryInputLimit)
        return inflateWhole(archive, offset, info, out);
    return stream(archive, offset, info, deflated, out);
}

EntryInflater::Result EntryInflater::inflateWhole(ArchiveSource &archive, qint64 offset,
                                                  const unz_file_info64 &info, QFile &out)
{
    const qint64 packed = qint64(info.compressed_size);
    m_input.resize(packed);
    m_output.resize(qint64(info.uncompressed_size));
    if (!archive.readRaw(offset, m_input.data(), packed))
        return ReadFailed;
    // Without an actual-size pointer libdeflate succeeds only when the data inflates to exactly
    // the header's size. Any other stream is streamed again instead, which writes what it can
    // of it and tells how it fails, as for large entries.
    if (libdeflate_deflate_decompress(m_decompressor, m_input.constData(), size_t(packed),
                                      m_output.data(), size_t(m_output.size()), nullptr)
        != LIBDEFLATE_SUCCESS)
        return stream(archive, offset, info, true, out);
    if (!write(out, m_output.constData(), m_output.size()))
        return WriteFailed;
    return verdict(info, false);
}

EntryInflater::Result EntryInflater::stream(ArchiveSource &archive, qint64 offset,
                                            const unz_file_info64 &info, bool deflated, QFile &out)
{
    if (deflated && !resetStream())
        return ReadFailed;
    m_input.resize(inputChunk);
    m_output.resize(writePiece);
    quint64 packedLeft = info.compressed_size;
    qint64 position = offset;
    m_stream.avail_in = 0;
    for (;;) {
        if (m_stream.avail_in == 0 && packedLeft > 0) {
            const qint64 count = qint64(qMin<quint64>(packedLeft, inputChunk));
            if (!archive.readRaw(position, m_input.data(), count))
                return ReadFailed;
            position += count;
            packedLeft -= quint64(count);
            m_stream.next_in = reinterpret_cast<Bytef *>(m_input.data());
            m_stream.avail_in = uInt(count);
        }
        const char *data = m_output.constData();
        qint64 size = 0;
        int result = Z_OK;
        if (!deflated) { // stored: the input is the output
            if (m_stream.avail_in == 0)
                break;
            data = reinterpret_cast<const char *>(m_stream.next_in);
            size = m_stream.avail_in;
            m_stream.avail_in = 0;
        } else {
            m_stream.next_out = reinterpret_cast<Bytef *>(m_output.data());
            m_stream.avail_out = uInt(writePiece);
            result = ::inflate(&m_stream, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
                return ReadFailed; // a damaged stream
            size = writePiece - qint64(m_stream.avail_out);
        }
        // Never more than the header's size on disk.
        const qint64 room = qint64(info.uncompressed_size) - m_written;
        if (size > room) {
            if (!write(out, data, room))
                return WriteFailed;
            return verdict(info, true);
        }
        if (!write(out, data, size))
            return WriteFailed;
        // The end of the stream, or the end of the data before it.
        if (result == Z_STREAM_END
            || (result == Z_BUF_ERROR && m_stream.avail_in == 0 && packedLeft == 0))
            break;
    }
    return verdict(info, false);
}

EntryInflater::Result EntryInflater::verdict(const unz_file_info64 &info, bool longer) const
{
    if (longer)
        return ChecksumMismatch;
    if (quint64(m_written) != info.uncompressed_size)
        return Incomplete;
    return m_crc == quint32(info.crc) ? Complete : ChecksumMismatch;
}

// Writes in cache-sized pieces, folding each into the CRC just before it is copied.
bool EntryInflater::write(QFile &out, const char *data, qint64 size)
{
    for (qint64 done = 0; done < size; done += writePiece) {
        const qint64 count = qMin(writePiece, size - done);
        m_crc = quint32(libdeflate_crc32(m_crc, data + done, size_t(count)));
        const qint64 written = out.write(data + done, count);
        if (written != count) {
            m_failedWriteCount = written;
            m_failedWriteSize = count;
            return false;
        }
        m_written += count;
        if (m_onWritten)
            m_onWritten(count);
    }
    return true;
}

bool EntryInflater::resetStream()
{
    if (m_streamReady)
        return inflateReset(&m_stream) == Z_OK;
    m_streamReady = inflateInit2(&m_stream, -MAX_WBITS) == Z_OK; // raw deflate, no header
    return m_streamReady;
}
