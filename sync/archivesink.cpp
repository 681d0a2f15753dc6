#include "sync/archivesink.h"

bool ArchiveSink::openFresh()
{
    m_file.close();
    return m_file.open(QIODevice::WriteOnly);
}

bool ArchiveSink::openAppend()
{
    m_file.close();
    return m_file.open(QIODevice::WriteOnly | QIODevice::Append);
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
