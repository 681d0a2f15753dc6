#pragma once

#include <QString>

#include <functional>

class QNetworkAccessManager;
class QObject;

// What the API said of a repository's newest commit.
struct CommitCheckOutcome
{
    enum Kind {
        Failed,    // status: the HTTP status, 0 when the server was not reached
        NoCommits, // the answer is no list, or an empty one
        Found,     // latest: the newest commit's id (empty when it has none as text)
    } kind = Failed;
    int status = 0;
    QString latest;
};

// Asks the repository's API address (used unchanged) for its commits, newest first, and hands
// the outcome to done once, while context lives. Logs the request and what the answer held.
void checkLatestCommit(QNetworkAccessManager *network, const QString &repoName, const QString &api,
                       QObject *context,
                       const std::function<void(const CommitCheckOutcome &)> &done);
