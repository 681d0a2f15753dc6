#include "sync/archivesink.h"

bool ArchiveSink::openFresh()
{
    m_file.close();
    return m_file.open(QIODevice::WriteOnly);
}

bool ArchiveSink::openAt(qint64 from)
{
    m_file.close();
    return m_file.open(QIODevice::ReadWrite) && m_file.resize(from) && m_file.seek(from);
}

bool ArchiveSink::write(const QByteArray &bytes)
{
    return bytes.isEmpty() || m_file.write(bytes) == bytes.size();
}

bool ArchiveSink::finalize()
{
    if (!m_file.flush())
        return false;
    m_file.close();
    return true;
}
