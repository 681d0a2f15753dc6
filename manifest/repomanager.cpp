#include "manifest/repomanager.h"

#include "launch/buttonpanel.h"
#include "launch/gating.h"
#include "launch/startprogram.h"
#include "sync/watchedrequest.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
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
    // A body that is no JSON object (a Wi-Fi log-in page, an error page sent with 200) is no
    // manifest: taken for an empty one, it would ask every player for a new launcher.
    const QJsonDocument manifest = WatchedRequest::error(reply) == QNetworkReply::NoError
                                       ? QJsonDocument::fromJson(reply->readAll())
                                       : QJsonDocument();
    if (!manifest.isObject()) {
        QMessageBox::warning(nullptr, "Download Error", "Failed to download JSON.", QMessageBox::Ok,
                             QMessageBox::NoButton);
        return;
    }
    buildPanel(manifest.object());
}

void RepoManager::disableAllButtons()
{
    QWidget *panel = findButtonPanel(this);
    if (!panel) {
        qDebug() << "Button panel not found!";
        return;
    }
    Gating::disableButtons(panel);
}

void RepoManager::enableButtonsIfComplete()
{
    QWidget *panel = findButtonPanel(this);
    if (!panel) {
        qDebug() << "Panel de botões não encontrado!";
        return;
    }
    Gating::enableButtonsIfComplete(panel);
}

QProgressBar *RepoManager::findProgressBar(const QString &repoName)
{
    QWidget *panel = findButtonPanel(this);
    if (!panel) {
        qDebug() << "Button panel not found!";
        return nullptr;
    }
    QProgressBar *bar = Gating::progressBar(panel, repoName);
    if (!bar)
        qDebug() << "Repository progress bar " << repoName << "not found!";
    return bar;
}

void RepoManager::launchExecutable(const QString &exe, const QString &args,
                                   const QString &workingDir)
{
    startProgram(exe, args, workingDir);
}
