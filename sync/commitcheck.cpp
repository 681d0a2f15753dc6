#include "manifest/repomanager.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

void RepoManager::fetchLatestCommitHash(const Repo &repo)
{
    QNetworkRequest request(QUrl(QString("%1").arg(repo.api), QUrl::TolerantMode));
    qDebug() << "Fetching latest commit hash from GitLab for repository: " << repo.name;
    QNetworkReply *reply = networkManager->get(request);
    connect(reply, &QNetworkReply::finished, reply, [reply] { reply->deleteLater(); });
}
