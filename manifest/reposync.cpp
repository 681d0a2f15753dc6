#include "manifest/repomanager.h"

#include "extract/installindex.h"
#include "extract/installroot.h"
#include "extract/postextract.h"
#include "extract/rangedarchive.h"
#include "extract/zipdirectory.h"
#include "sync/archivetransfer.h"
#include "sync/commitcheck.h"
#include "sync/deltatransfer.h"
#include "sync/resumerecord.h"
#include "sync/syncfiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>

namespace {

constexpr int retryDelayMs = 2000;
constexpr int maxRetryDelayMs = 60000;
// Cuts in a row retried every two seconds; later ones wait twice as long each time, so that
// thousands of players do not hammer a failing server.
constexpr int quickRetries = 3;

int retryDelay(int failedAttempts)
{
    int delay = retryDelayMs;
    for (int i = quickRetries; i < failedAttempts && delay < maxRetryDelayMs; ++i)
        delay *= 2;
    return qMin(delay, maxRetryDelayMs);
}

// What the column says of an install that did not end with every file in place.
UpdateFailure failureOf(ExtractionResult::Status status)
{
    switch (status) {
    case ExtractionResult::FileInUse:
        return UpdateFailure::FileInUse;
    case ExtractionResult::Missing:
        return UpdateFailure::ArchiveMissing;
    case ExtractionResult::Damaged:
        return UpdateFailure::ArchiveDamaged;
    case ExtractionResult::NoSpace:
        return UpdateFailure::NoSpace;
    case ExtractionResult::RecordUnwritable:
        return UpdateFailure::RecordUnwritable;
    case ExtractionResult::RestoreFailed:
        return UpdateFailure::RestoreFailed;
    case ExtractionResult::Extracted:
    case ExtractionResult::WriteFailed:
        break;
    }
    return UpdateFailure::Extraction;
}

// Where a delta update keeps the pieces it fetched until they are installed.
QString piecesFilePath(const QString &repoName)
{
    return SyncFiles::archiveFilePath(repoName) + QStringLiteral(".pieces");
}

void removeArchive(const QString &repoName)
{
    const QString archive = SyncFiles::archiveFilePath(repoName);
    for (const QString &path : {archive, piecesFilePath(repoName)}) {
        if (QFileInfo(path).isFile())
            QFile::remove(path);
    }
    ResumeRecord::remove(archive);
}

// The commit is recorded as the install's last step; the path is fixed now, since the next start
// may finish an interrupted install from another working folder.
CommitRecord commitRecord(const Repo &repo, const QString &commit)
{
    return {QDir::current().absoluteFilePath(SyncFiles::hashFilePath(repo.name)), commit};
}

ZipExtractor::Progress installProgress(ColumnStatus column)
{
    return [column](InstallPhase phase, qint64 done, qint64 total) mutable {
        if (phase == InstallPhase::Moving)
            column.movingFiles();
        else
            column.extractionProgress(done, total);
    };
}

// A delta update needs the index of what is installed, and is not tried while a download of
// the whole archive for the same commit can be continued.
std::optional<InstallIndex> deltaBase(const Repo &repo, const QString &commit, const QString &root)
{
    const QUrl url(repo.download, QUrl::TolerantMode);
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        return std::nullopt;
    const QString archive = SyncFiles::archiveFilePath(repo.name);
    const std::optional<ResumeRecord> held = ResumeRecord::read(archive);
    if (held && held->commit == commit && QFileInfo(archive).isFile())
        return std::nullopt;
    return InstallIndex::read(InstallIndex::path(root, repo.name));
}

// Removes the files the previous version installed that the new one no longer holds, when they
// are exactly as installed: a file the player changed, and any file the player made, stays.
void removeDropped(const InstallIndex &previous, const ZipDirectory &directory, const QString &root)
{
    QStringList names;
    for (const ZipEntry &entry : directory.entries())
        names.append(entry.name);
    const InstallIndex::Dropped dropped = previous.dropped(names, root);
    for (const QString &name : dropped.removable) {
        if (QFile::remove(root + "/" + name))
            qDebug() << "Removed file the new version no longer holds:" << name;
    }
    for (const QString &name : dropped.changed)
        qDebug() << "Keeping changed file the new version no longer holds:" << name;
}

} // namespace

bool RepoManager::addColumn(const Repo &repo, const ColumnStatus &column)
{
    const QString key = repo.name.toCaseFolded();
    if (m_repos.contains(key))
        return false;
    m_repos.insert(key, Synchronised{repo, column, 0, {}, {}, {}, {}});
    return true;
}

RepoManager::Synchronised *RepoManager::synchronised(const QString &repoName)
{
    const auto found = m_repos.find(repoName.toCaseFolded());
    return found == m_repos.end() ? nullptr : &*found;
}

void RepoManager::fetchLatestCommitHash(const Repo &repo)
{
    if (!SyncFiles::acceptRepoName(repo.name))
        return;
    checkLatestCommit(networkManager, repo.name, repo.api, this,
                      [this, repo](const CommitCheckOutcome &outcome) {
                          Synchronised *state = synchronised(repo.name);
                          ColumnStatus column = state ? state->column : ColumnStatus();
                          switch (outcome.kind) {
                          case CommitCheckOutcome::Failed:
                              column.failed(UpdateFailure::CommitCheck,
                                            outcome.status ? QString::number(outcome.status)
                                                           : QString());
                              return;
                          case CommitCheckOutcome::NoCommits:
                              column.failed(UpdateFailure::NoCommits);
                              return;
                          case CommitCheckOutcome::Found:
                              break;
                          }
                          if (SyncFiles::readRecordedCommit(repo.name) == outcome.latest
                              && installedFilesWhole(repo)) {
                              qDebug() << "Repository is up-to-date. No need to download.";
                              // Also after a failed download: nothing is pending any
                              // more, and what it left of an archive is of no use.
                              removeArchive(repo.name);
                              column.upToDate();
                              enableButtonsIfComplete();
                          } else {
                              qDebug() << "Hash is different. Downloading ZIP...";
                              downloadZip(repo, outcome.latest);
                          }
                      });
}

void RepoManager::downloadZip(const Repo &repo, const QString &latestCommitHash)
{
    if (!SyncFiles::acceptRepoName(repo.name))
        return;
    Synchronised *state = synchronised(repo.name);
    // A second download would write the same archive file.
    if (state && state->transfer)
        return;
    disableAllButtons();
    if (state)
        state->column.downloadStarted();
    const QString root = installRoot();
    std::optional<InstallIndex> base = deltaBase(repo, latestCommitHash, root);
    if (!base) {
        startArchiveTransfer(repo, latestCommitHash);
        return;
    }
    auto *delta = new DeltaTransfer(networkManager, QUrl(repo.download, QUrl::TolerantMode),
                                    std::move(*base), root, state ? state->refetch : QStringList(),
                                    piecesFilePath(repo.name), this);
    connect(delta, &DeltaTransfer::progress, this,
            [this, name = repo.name](const DeltaProgress &progress) {
                if (Synchronised *state = synchronised(name))
                    state->column.deltaProgress(progress.files, progress.allFiles,
                                                progress.received, progress.total);
            });
    connect(delta, &DeltaTransfer::finished, this,
            [this, repo, latestCommitHash](const DeltaOutcome &outcome) {
                deltaEnded(repo, latestCommitHash, outcome);
            });
    if (state)
        state->transfer = delta;
    delta->start();
}

void RepoManager::startArchiveTransfer(const Repo &repo, const QString &latestCommitHash,
                                       QNetworkReply *answered, qint64 archiveLength)
{
    Synchronised *state = synchronised(repo.name);
    auto *transfer = new ArchiveTransfer(networkManager, QUrl(repo.download, QUrl::TolerantMode),
                                         SyncFiles::archiveFilePath(repo.name), latestCommitHash,
                                         this);
    connect(transfer, &ArchiveTransfer::progress, this,
            [this, name = repo.name](const TransferProgress &progress) {
                if (Synchronised *state = synchronised(name))
                    state->column.downloadProgress(progress.received, progress.total,
                                                   progress.attemptBytes, progress.attemptMs);
            });
    connect(transfer, &ArchiveTransfer::finished, this,
            [this, repo, latestCommitHash](const TransferOutcome &outcome) {
                downloadEnded(repo, latestCommitHash, outcome);
            });
    if (state)
        state->transfer = transfer;
    if (answered)
        transfer->takeOver(answered, archiveLength);
    else
        transfer->start();
}

void RepoManager::deltaEnded(const Repo &repo, const QString &latestCommitHash,
                             const DeltaOutcome &outcome)
{
    Synchronised *state = synchronised(repo.name);
    switch (outcome.kind) {
    case DeltaOutcome::WholeArchive:
        startArchiveTransfer(repo, latestCommitHash);
        return;
    case DeltaOutcome::WholeAnswer:
        startArchiveTransfer(repo, latestCommitHash, outcome.reply, outcome.archiveLength);
        return;
    case DeltaOutcome::Failed:
        downloadEnded(repo, latestCommitHash,
                      {TransferOutcome::Failed, outcome.reason, outcome.retried});
        return;
    case DeltaOutcome::Fetched:
        break;
    }
    if (state)
        state->failedAttempts = 0;
    if (installPieces(*outcome.pieces, repo, latestCommitHash) && state)
        state->refetch.clear();
    enableButtonsIfComplete();
}

void RepoManager::downloadEnded(const Repo &repo, const QString &latestCommitHash,
                                const TransferOutcome &outcome)
{
    Synchronised *state = synchronised(repo.name);
    ColumnStatus column = state ? state->column : ColumnStatus();
    switch (outcome.kind) {
    case TransferOutcome::Downloaded:
        if (state) {
            state->failedAttempts = 0;
            state->archiveValidator = outcome.validator;
        }
        processDownloadedZip(SyncFiles::archiveFilePath(repo.name), repo, latestCommitHash);
        break;
    case TransferOutcome::Failed:
        column.downloadFailed();
        if (outcome.retried && state)
            scheduleRetry(*state, latestCommitHash, outcome.reason);
        else
            column.failed(UpdateFailure::Download, outcome.reason);
        break;
    case TransferOutcome::Unwritable:
        column.downloadFailed();
        column.failed(UpdateFailure::ArchiveUnwritable, outcome.reason);
        break;
    case TransferOutcome::NoSpace:
        column.downloadFailed();
        column.failed(UpdateFailure::NoSpace, outcome.reason);
        break;
    }
    enableButtonsIfComplete();
}

void RepoManager::scheduleRetry(Synchronised &repo, const QString &latestCommitHash,
                                const QString &reason)
{
    ++repo.failedAttempts;
    repo.column.retrying(reason, repo.failedAttempts + 1, repo.failedAttempts >= quickRetries);
    delete repo.retryTimer;
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, timer, name = repo.repo.name, latestCommitHash] {
        timer->deleteLater();
        if (Synchronised *state = synchronised(name))
            downloadZip(state->repo, latestCommitHash);
    });
    repo.retryTimer = timer;
    timer->start(retryDelay(repo.failedAttempts));
}

void RepoManager::retryNow(const QString &repoName)
{
    Synchronised *state = synchronised(repoName);
    if (!state || state->transfer)
        return;
    delete state->retryTimer;
    state->column.retryStarted();
    fetchLatestCommitHash(state->repo);
}

bool RepoManager::installedFilesWhole(const Repo &repo)
{
    const std::optional<InstallIndex> index = InstallIndex::read(
        InstallIndex::path(installRoot(), repo.name));
    const QStringList changed = index ? index->changedFiles(installRoot()) : QStringList();
    if (changed.isEmpty())
        return true;
    qDebug() << "Installed files missing or of another size, repairing:" << changed.size()
             << changed.first();
    return false;
}

void RepoManager::verifyFiles(const QString &repoName)
{
    Synchronised *state = synchronised(repoName);
    if (!state)
        return;
    const QString root = installRoot();
    const std::optional<InstallIndex> index = InstallIndex::read(
        InstallIndex::path(root, repoName));
    if (!index) {
        state->column.verified(QStringLiteral("No record of the installed files to verify; the "
                                              "next update installs them whole."));
        return;
    }
    ColumnStatus column = state->column;
    const QStringList differing = index->differingFiles(root, [&column](qint64 done, qint64 total) {
        column.verifying(done, total);
    });
    if (differing.isEmpty()) {
        qDebug() << "Installed files verified:" << repoName;
        state->column.verified(QStringLiteral("All files are as installed."));
        return;
    }
    qDebug() << "Installed files that differ, repairing:" << differing.size() << differing.first();
    state->refetch = differing;
    downloadZip(state->repo, SyncFiles::readRecordedCommit(repoName));
}

bool RepoManager::processDownloadedZip(const QString &zipFilePath, const Repo &repo,
                                       const QString &latestCommitHash)
{
    Synchronised *state = synchronised(repo.name);
    ColumnStatus column = state ? state->column : ColumnStatus();
    const QString root = installRoot();
    // The index of the last committed install stays until this one is committed: an install
    // that fails or is stopped leaves the version it describes, and one finished by the next
    // start leaves files newer than it says, which every comparison with it (size and
    // modification time) takes as changed. Files this version drops are found with it.
    const std::optional<InstallIndex> previous = InstallIndex::read(
        InstallIndex::path(root, repo.name));
    const ZipDirectory directory = ZipDirectory::read(zipFilePath);
    const qint64 archiveLength = QFileInfo(zipFilePath).size();
    const ExtractionResult result =
        installArchive(zipFilePath, commitRecord(repo, latestCommitHash), installProgress(column));
    // The archive is gone, or kept to look into: an archive that did not extract is fetched
    // anew, never continued or installed again.
    ResumeRecord::remove(zipFilePath);
    const bool installed = installEnded(repo, result, previous, directory, archiveLength,
                                        state ? state->archiveValidator : QByteArray());
    if (installed && state)
        state->refetch.clear();
    return installed;
}

bool RepoManager::installPieces(FetchedPieces &pieces, const Repo &repo,
                                const QString &latestCommitHash)
{
    Synchronised *state = synchronised(repo.name);
    ColumnStatus column = state ? state->column : ColumnStatus();
    const QString root = installRoot();
    const std::optional<InstallIndex> previous = InstallIndex::read(
        InstallIndex::path(root, repo.name));
    // Only the fetched entries are written; folders cost nothing and are made as always.
    QList<bool> wanted(pieces.directory.entries().size(), false);
    for (const qsizetype i : std::as_const(pieces.plan.fetch))
        wanted[i] = true;
    for (const qsizetype i : std::as_const(pieces.plan.withoutData))
        wanted[i] = true;
    const ExtractionResult result =
        ZipExtractor::extractFetched(*pieces.archive, wanted, root,
                                     commitRecord(repo, latestCommitHash), installProgress(column));
    pieces.archive.reset();
    return installEnded(repo, result, previous, pieces.directory, pieces.archiveLength,
                        pieces.validator);
}

bool RepoManager::installEnded(const Repo &repo, const ExtractionResult &result,
                               const std::optional<InstallIndex> &previous,
                               const ZipDirectory &directory, qint64 archiveLength,
                               const QByteArray &validator)
{
    Synchronised *state = synchronised(repo.name);
    ColumnStatus column = state ? state->column : ColumnStatus();
    const QString root = installRoot();
    // Finished whatever the outcome, so a failed archive does not hold the buttons back; the
    // status line then says why. But files of two versions must not be started: their bar
    // stays, and with it the buttons stay off until the next start repairs them.
    // A tree of two versions is described by no index.
    if (result.status == ExtractionResult::RestoreFailed) {
        QFile::remove(InstallIndex::path(root, repo.name));
        column.downloadFailed();
    } else
        column.extractionEnded();
    if (!result.ok()) {
        // The old commit id stays, so the next start tries again.
        column.failed(failureOf(result.status), result.detail);
        return false;
    }
    if (directory.status() == ZipDirectory::Parsed) {
        const QString indexPath = InstallIndex::path(root, repo.name);
        const InstallIndex index = InstallIndex::record(directory, repo.download, archiveLength,
                                                        validator, root);
        if (!index.write(indexPath))
            qDebug() << "Failed to write install index:" << indexPath;
        if (previous)
            removeDropped(*previous, directory, root);
    }
    column.installed();
    return true;
}
