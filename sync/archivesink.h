#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The archive file of one download, kept apart from the transfer: opened afresh or to continue
// what an earlier attempt left, written, then finalised or abandoned. Failures are the system's
// reason, as errorString() gives it.
class ArchiveSink
{
public:
    explicit ArchiveSink(const QString &path) : m_file(path) {}

    // Empties the file (creating it) and opens it for writing.
    bool openFresh();
    // Opens the file to go on writing at from, what it holds beyond cut off.
    bool openAt(qint64 from);
    // False when the file took fewer bytes than given.
    bool write(const QByteArray &bytes);
    // Flushes and closes; false when buffered bytes were refused.
    bool finalize();
    // Closes, keeping what reached the file.
    void abort() { m_file.close(); }

    QString errorString() const { return m_file.errorString(); }

private:
    QFile m_file;
};
