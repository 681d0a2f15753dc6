#pragma once

#include "extract/installindex.h"
#include "launch/columnstatus.h"
#include "manifest/repo.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <optional>

class QJsonObject;
class QNetworkAccessManager;
class QProgressBar;
class QNetworkReply;
class QTimer;
class ZipDirectory;
struct DeltaOutcome;
struct ExtractionResult;
struct FetchedPieces;
struct TransferOutcome;

// The launcher's logic: manifest, panel, synchronisation, gating and launch. The subsystems below
// it (the commit check, the archive transfer, the install, the gating, the launch) report what
// happened; the manager decides what follows and shows it in the repository's column.
class RepoManager : public QObject
{
    Q_OBJECT

public:
    explicit RepoManager(QObject *parent = nullptr);
    ~RepoManager() override;

    void downloadJson(const QString &url);
    void buildPanel(const QJsonObject &manifest);

    void fetchLatestCommitHash(const Repo &repo);
    void downloadZip(const Repo &repo, const QString &latestCommitHash);
    // Installs the downloaded archive and records the commit; true when both were done.
    bool processDownloadedZip(const QString &zipFilePath, const Repo &repo,
                              const QString &latestCommitHash);

    void disableAllButtons();
    void enableButtonsIfComplete();
    QProgressBar *findProgressBar(const QString &repoName);
    void launchExecutable(const QString &exe, const QString &args, const QString &workingDir);

private slots:
    void onJsonDownloaded();

private:
    // What the manager holds of one synchronised repository: its column, found once when the
    // panel is built, and its automatic retries.
    struct Synchronised
    {
        Repo repo;
        ColumnStatus column;
        int failedAttempts = 0;
        QPointer<QTimer> retryTimer;
        QByteArray archiveValidator; // of the archive last downloaded
        QPointer<QObject> transfer;  // the download under way, one at a time
        QStringList refetch;         // installed files that failed a check, until repaired
    };

    // Adds the repository's column; false when an earlier entry has the same name (in any letter
    // case: one file on Windows), which alone is synchronised.
    bool addColumn(const Repo &repo, const ColumnStatus &column);
    Synchronised *synchronised(const QString &repoName);
    // Downloads the whole archive; a GET already answered with it is taken over.
    void startArchiveTransfer(const Repo &repo, const QString &latestCommitHash,
                              QNetworkReply *answered = nullptr, qint64 archiveLength = -1);
    void downloadEnded(const Repo &repo, const QString &latestCommitHash,
                       const TransferOutcome &outcome);
    void deltaEnded(const Repo &repo, const QString &latestCommitHash, const DeltaOutcome &outcome);
    // Installs what a delta update fetched and records the commit; true when both were done.
    bool installPieces(FetchedPieces &pieces, const Repo &repo, const QString &latestCommitHash);
    // What follows an install, whole archive or delta: the column, the index, the files the
    // new version no longer holds.
    bool installEnded(const Repo &repo, const ExtractionResult &result,
                      const std::optional<InstallIndex> &previous, const ZipDirectory &directory,
                      qint64 archiveLength, const QByteArray &validator);
    void scheduleRetry(Synchronised &repo, const QString &latestCommitHash, const QString &reason);
    void retryNow(const QString &repoName);
    // Reads every installed file of the repository and repairs it when one differs from what
    // was installed.
    void verifyFiles(const QString &repoName);
    // Whether the files the last install wrote are all there with their sizes; logs when not.
    bool installedFilesWhole(const Repo &repo);

    QNetworkAccessManager *networkManager;
    QHash<QString, Synchronised> m_repos; // by the name in folded case
};
