#include "sync/syncfiles.h"

#include "extract/filenames.h"

#include <QDebug>
#include <QFile>
#include <QTextStream>

namespace SyncFiles {

QString hashFilePath(const QString &repoName)
{
    return repoName + "_hash.txt";
}

QString archiveFilePath(const QString &repoName)
{
    return QString("%1.zip").arg(repoName);
}

QString readRecordedCommit(const QString &repoName)
{
    QFile file(hashFilePath(repoName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QTextStream stream(&file);
    stream.setEncoding(QStringConverter::Utf8);
    stream.setAutoDetectUnicode(true);
    // readLine drops "\n" and "\r\n" alike.
    return stream.readLine();
}

bool writeRecordedCommit(const QString &repoName, const QString &commitId, QString *why)
{
    QFile file(hashFilePath(repoName));
    const auto failed = [&file, why] {
        if (why)
            *why = file.errorString();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return failed();
    QTextStream stream(&file);
    stream.setEncoding(QStringConverter::Utf8);
    stream.setGenerateByteOrderMark(false);
    stream << commitId;
    stream.flush();
    file.close();
    if (stream.status() != QTextStream::Ok || file.error() != QFileDevice::NoError)
        return failed();
    return true;
}

bool acceptRepoName(const QString &repoName)
{
    if (FileNames::isSafeRepoName(repoName))
        return true;
    qDebug() << "Refusing to synchronise repository with an unsafe name:" << repoName;
    return false;
}

} // namespace SyncFiles
