#pragma once

#include "extract/archivesource.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// Buffered read access to an archive file for minizip, in place of its stdio access, which seeks
// and reads in 16 KiB steps, two system calls each time.
class ArchiveReader : public ArchiveSource
{
public:
    explicit ArchiveReader(const QString &path);

    QString path() const override { return m_file.fileName(); }
    // Straight from the file: entry data is read in large pieces once, and for scattered
    // headers the chunk would only add a copy.
    bool readRaw(qint64 offset, char *out, qint64 size) override;
    // Through the chunk.
    bool readRecord(qint64 offset, char *out, qint64 size) override;

protected:
    qint64 open() override;
    void close() override { m_file.close(); }
    qint64 readAt(qint64 position, char *out, qint64 size) override;

private:
    bool fill(qint64 position);

    QFile m_file;
    QByteArray m_chunk;
    qint64 m_size = 0;
    qint64 m_chunkStart = 0;
    qint64 m_chunkLength = 0;
};
