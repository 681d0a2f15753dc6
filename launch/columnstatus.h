#pragma once

#include <QPointer>
#include <QString>
#include <QtGlobal>

class QProgressBar;
class RepoManager;

// Why a repository's update did not end installed.
enum class UpdateFailure {
    CommitCheck,       // detail: the HTTP status as text, empty when the server was not reached
    NoCommits,         // detail: unused
    Download,          // detail: what went wrong, in the player's words ("server answered 404")
    ArchiveUnwritable, // detail: the folder, then ": " and the system's reason
    Extraction,        // detail: the entry that could not be written, or what was wrong
    FileInUse,         // detail: the installed file a running program holds
};

// The player's words for a failure, ending with what happens next. Every column's failure text
// comes from here.
QString failureText(UpdateFailure failure, const QString &detail);

// What one repository's column shows of its update: the progress bar, whose visibility the
// gating reads as "update pending", and the status line under the buttons. Found by the
// repository's name; a column without a bar makes every call a no-op.
class ColumnStatus
{
public:
    ColumnStatus() = default;
    explicit ColumnStatus(QProgressBar *bar);
    // The repository's bar through findProgressBar, which logs a missing one.
    static ColumnStatus find(RepoManager *manager, const QString &repoName);
    // The same without a log line, for the steps that never looked the bar up before.
    static ColumnStatus findQuietly(const RepoManager *manager, const QString &repoName);

    bool hasBar() const { return !bar.isNull(); }

    // Bar 0..100 at 0 and shown; the status line cleared.
    void downloadStarted();
    // fileSize > 0: the bar at received * 100 / fileSize, the status line "X of Y · T left".
    // Otherwise the bar is a busy indicator and the status line says how much arrived.
    void downloadProgress(qint64 received, qint64 fileSize);
    // Bar 0..100 at 0, still shown: the gating keeps the buttons disabled.
    void downloadFailed();
    // The bar follows the extraction and is painted at once: the event loop is not running.
    void extractionProgress(qint64 done, qint64 total);
    // Bar 0..100 at 100 and hidden, whatever the extraction's outcome.
    void extractionEnded();
    // Bar 0..100 at 100; visibility left as it is. The status line cleared.
    void installed();
    // The status line emptied; the bar untouched (a repository found up to date).
    void clear();
    // The status line says why, with the column's Retry button.
    void failed(UpdateFailure failure, const QString &detail = QString());

private:
    QPointer<QProgressBar> bar;
};
