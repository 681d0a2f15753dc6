#include "extract/installjournal.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

bool InstallJournal::append(const QList<QStringList> &lines)
{
    // Fields percent-encoded: any path fits between the spaces.
    QByteArray text;
    for (const QStringList &line : lines) {
        QByteArrayList fields;
        for (const QString &field : line)
            fields.append(field.toUtf8().toPercentEncoding());
        text += fields.join(' ') + '\n';
    }
    QFile file(m_path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)
           && file.write(text) == text.size() && sync(file);
}

QList<QStringList> InstallJournal::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QStringList> lines;
    const QByteArray text = file.readAll();
    for (qsizetype start = 0, end; (end = text.indexOf('\n', start)) >= 0; start = end + 1) {
        QStringList fields;
        for (const QByteArray &field : text.mid(start, end - start).split(' '))
            fields.append(QString::fromUtf8(QByteArray::fromPercentEncoding(field)));
        lines.append(fields);
    }
    return lines;
}

bool InstallJournal::writeRecord(const CommitRecord &record, QString &reason)
{
    // QSaveFile syncs the new file before it takes the old one's place.
    QSaveFile file(record.path);
    const QByteArray text = record.commitId.toUtf8();
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())
        return true;
    reason = file.errorString();
    return false;
}

bool InstallJournal::sync(QFile &file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return FlushFileBuffers(HANDLE(_get_osfhandle(file.handle()))) != 0;
#else
    return fsync(file.handle()) == 0;
#endif
}
