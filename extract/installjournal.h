#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QFile;

// What an install records once its files are in place: the commit id in the repository's hash
// file, written as part of the install so the id never names a version that is not on disk.
struct CommitRecord
{
    QString path;     // absolute, so another working folder at the next start finds it; empty: none
    QString commitId; // written as UTF-8, no byte-order mark, no line end
};

// The journal of one install: lines of a keyword and its fields, each appended and synced to disk
// before what it describes is done, so that the next start can tell what was under way when the
// launcher was killed or the machine went down.
class InstallJournal
{
public:
    explicit InstallJournal(const QString &path) : m_path(path) {}

    const QString &path() const { return m_path; }
    // The lines in one write, synced once.
    bool append(const QList<QStringList> &lines);
    bool append(const QStringList &line) { return append(QList<QStringList>{line}); }
    // Every whole line; one cut short while it was written was never acted on.
    static QList<QStringList> read(const QString &path);

    // Writes the commit id beside the hash file and renames it over it: the old id or the new
    // one, never a part. reason: the system's words when it fails.
    static bool writeRecord(const CommitRecord &record, QString &reason);
    // Hands what was written to the disk itself, past the system's cache.
    static bool sync(QFile &file);

private:
    QString m_path;
};
