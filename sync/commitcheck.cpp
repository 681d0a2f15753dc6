#include "launch/columnstatus.h"
#include "manifest/repomanager.h"

#include "sync/syncfiles.h"
#include "sync/watchedrequest.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <QUrl>

void RepoManager::fetchLatestCommitHash(const Repo &repo)
{
    if (!SyncFiles::acceptRepoName(repo.name))
        return;

    QNetworkRequest request(QUrl(QString("%1").arg(repo.api), QUrl::TolerantMode));
    qDebug() << "Fetching latest commit hash from GitLab for repository: " << repo.name;
    QNetworkReply *reply = WatchedRequest::get(networkManager, request);

    RepoManager *manager = this;
    connect(
        reply, &QNetworkReply::finished, reply,
        [reply, manager, repo] {
            const auto release = qScopeGuard([reply] { reply->deleteLater(); });
            if (WatchedRequest::error(reply) != QNetworkReply::NoError) {
                const int status =
                    reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                qDebug() << "Failed to fetch commit hash from GitLab: "
                         << WatchedRequest::errorString(reply) << "HTTP Status Code: " << status;
                ColumnStatus::findQuietly(manager, repo.name)
                    .failed(UpdateFailure::CommitCheck,
                            status ? QString::number(status) : QString());
                return;
            }

            const QJsonArray commits = QJsonDocument::fromJson(reply->readAll()).array();
            if (commits.isEmpty()) {
                qDebug() << "No commits found for the repository.";
                ColumnStatus::findQuietly(manager, repo.name).failed(UpdateFailure::NoCommits);
                return;
            }

            const QString latest = commits.at(0).toObject().value("id").toString();
            qDebug() << "Latest commit hash from GitLab: " << latest;
            if (SyncFiles::readRecordedCommit(repo.name) == latest) {
                qDebug() << "Repository is up-to-date. No need to download.";
                ColumnStatus::findQuietly(manager, repo.name).clear();
                manager->enableButtonsIfComplete();
            } else {
                qDebug() << "Hash is different. Downloading ZIP...";
                manager->downloadZip(repo, latest);
            }
        },
        Qt::DirectConnection);
}
