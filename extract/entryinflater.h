#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <functional>
#include <utility>

#include <unzip.h>
#include <zlib.h>

class ArchiveSource;
class QFile;
struct libdeflate_decompressor;

// Writes the data of archive entries into their files: deflated entries up to a few MiB inflated
// in one call by libdeflate (about three times zlib's speed), larger ones streamed through zlib
// so memory stays bounded, stored ones copied. One inflater serves every entry of an archive, its
// buffers reused.
class EntryInflater
{
public:
    enum Result {
        Complete,
        ReadFailed, // the archive file could not be read, or the stream is damaged
        WriteFailed,
        Incomplete,       // less data than the header says
        ChecksumMismatch, // other data than the header says, or more of it
    };

    EntryInflater();
    ~EntryInflater();
    EntryInflater(const EntryInflater &) = delete;
    EntryInflater &operator=(const EntryInflater &) = delete;

    // Writes the entry's data, starting at offset in the archive, with the given method (stored
    // or deflated) into out. Never writes more than the header's uncompressed size.
    Result inflate(ArchiveSource &archive, qint64 offset, const unz_file_info64 &info, int method,
                   QFile &out);

    // The bytes written of the current entry.
    qint64 written() const { return m_written; }
    // After WriteFailed: what the failing write took and what it was given.
    qint64 failedWriteCount() const { return m_failedWriteCount; }
    qint64 failedWriteSize() const { return m_failedWriteSize; }
    // Told of every piece written from now on; empty: nobody.
    void setProgress(std::function<void(qint64 bytes)> onWritten)
    {
        m_onWritten = std::move(onWritten);
    }

private:
    Result inflateWhole(ArchiveSource &archive, qint64 offset, const unz_file_info64 &info,
                        QFile &out);
    Result stream(ArchiveSource &archive, qint64 offset, const unz_file_info64 &info, bool deflated,
                  QFile &out);
    Result verdict(const unz_file_info64 &info, bool longer) const;
    bool write(QFile &out, const char *data, qint64 size);
    bool resetStream();

    QByteArray m_input;  // compressed data of a small entry, or one chunk of a large one
    QByteArray m_output; // a small entry inflated whole, or one piece of a large one
    libdeflate_decompressor *m_decompressor;
    z_stream m_stream{};
    bool m_streamReady = false;
    quint32 m_crc = 0;
    qint64 m_written = 0;
    qint64 m_failedWriteCount = 0;
    qint64 m_failedWriteSize = 0;
    std::function<void(qint64)> m_onWritten;
};
