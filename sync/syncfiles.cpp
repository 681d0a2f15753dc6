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

bool acceptRepoName(const QString &repoName)
{
    if (FileNames::isSafeRepoName(repoName))
        return true;
    qDebug() << "Refusing to synchronise repository with an unsafe name:" << repoName;
    return false;
}

} // namespace SyncFiles
