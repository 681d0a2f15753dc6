#include "sync/commitcheck.h"

#include "sync/watchedrequest.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QScopeGuard>
#include <QUrl>
#include <QVariant>

void checkLatestCommit(QNetworkAccessManager *network, const QString &repoName, const QString &api,
                       QObject *context,
                       const std::function<void(const CommitCheckOutcome &)> &done)
{
    QNetworkRequest request(QUrl(QString("%1").arg(api), QUrl::TolerantMode));
    qDebug() << "Fetching latest commit hash from GitLab for repository: " << repoName;
    QNetworkReply *reply = WatchedRequest::get(network, request);
    QObject::connect(
        reply, &QNetworkReply::finished, reply,
        [reply, context = QPointer<QObject>(context), done] {
            const auto release = qScopeGuard([reply] { reply->deleteLater(); });
            CommitCheckOutcome outcome;
            if (WatchedRequest::error(reply) != QNetworkReply::NoError) {
                outcome.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                qDebug() << "Failed to fetch commit hash from GitLab: "
                         << WatchedRequest::errorString(reply)
                         << "HTTP Status Code: " << outcome.status;
            } else if (const QJsonArray commits = QJsonDocument::fromJson(reply->readAll()).array();
                       commits.isEmpty()) {
                qDebug() << "No commits found for the repository.";
                outcome.kind = CommitCheckOutcome::NoCommits;
            } else {
                outcome.kind = CommitCheckOutcome::Found;
                outcome.latest = commits.at(0).toObject().value("id").toString();
                qDebug() << "Latest commit hash from GitLab: " << outcome.latest;
            }
            if (context)
                done(outcome);
        },
        Qt::DirectConnection);
}
