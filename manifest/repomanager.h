#pragma once

#include "manifest/repo.h"

#include <QObject>
#include <QString>

class QJsonObject;
class QNetworkAccessManager;
class QProgressBar;

// The launcher's logic: manifest, panel, synchronisation, gating and launch. Keeps no state per
// repository; each asynchronous step carries copies of what it needs in its handler.
class RepoManager : public QObject
{
    Q_OBJECT

public:
    explicit RepoManager(QObject *parent = nullptr);
    ~RepoManager() override;

    // manifest/
    void downloadJson(const QString &url);
    void buildPanel(const QJsonObject &manifest);

    // sync/
    void fetchLatestCommitHash(const Repo &repo);
    void downloadZip(const Repo &repo, const QString &latestCommitHash);

    // extract/: true when the archive was extracted completely.
    bool processDownloadedZip(const QString &zipFilePath);

    // launch/
    void disableAllButtons();
    void enableButtonsIfComplete();
    QProgressBar *findProgressBar(const QString &repoName);
    void launchExecutable(const QString &exe, const QString &args, const QString &workingDir);

private slots:
    void onJsonDownloaded();

private:
    QNetworkAccessManager *networkManager;
};
