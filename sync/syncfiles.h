#pragma once

#include <QString>

// The two files a repository's synchronisation keeps in the working directory, named after the
// repository: the recorded commit id and the archive while it is being downloaded.
namespace SyncFiles {

QString hashFilePath(const QString &repoName);
QString archiveFilePath(const QString &repoName);

// The commit id recorded by the last completed install: the first line, without its line end.
// A missing, unreadable or empty file reads as the empty text.
QString readRecordedCommit(const QString &repoName);
// The name becomes file names in the working directory: one that holds a folder separator or a
// ".." component would reach outside it, and one Windows refuses as a file name is refused
// everywhere alike (FileNames::isSafeRepoName). Logs the refusal of an unsafe name.
bool acceptRepoName(const QString &repoName);

} // namespace SyncFiles
