#include "manifest/repomanager.h"

#include "sync/watchedrequest.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <QUrl>

RepoManager::RepoManager(QObject *parent)
    : QObject(parent), networkManager(new QNetworkAccessManager(this))
{
}

RepoManager::~RepoManager() = default;

void RepoManager::downloadJson(const QString &url)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    QNetworkReply *reply = WatchedRequest::get(networkManager, request);
    connect(reply, &QNetworkReply::finished, this, &RepoManager::onJsonDownloaded);
}

void RepoManager::onJsonDownloaded()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const auto release = qScopeGuard([reply] { reply->deleteLater(); });
    if (WatchedRequest::error(reply) != QNetworkReply::NoError) {
        QMessageBox::warning(nullptr, "Download Error", "Failed to download JSON.", QMessageBox::Ok,
                             QMessageBox::NoButton);
    } else {
        buildPanel(QJsonDocument::fromJson(reply->readAll()).object());
    }
}
