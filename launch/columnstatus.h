#pragma once

#include <QPointer>
#include <QString>
#include <QtGlobal>

class QAbstractButton;
class QLabel;
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

// The status line of a download: "312 MB of 1.4 GB · 2 min left". The time left is an estimate
// from the average speed since the download started, shown once that average means something.
// total <= 0: the size is unknown and only what arrived is said.
QString downloadText(qint64 received, qint64 total, qint64 elapsedMs);

// Object names of the status line and of the Retry button, siblings of the bar in its column.
inline constexpr char statusLineName[] = "columnStatus";
inline constexpr char retryButtonName[] = "retryButton";

// What one repository's column shows of its update: the progress bar, whose visibility the
// gating reads as "update pending", and the status line with its Retry button under it. Found by
// the repository's name; a column without a bar makes every call a no-op, and one without a
// status line (the tests' bare panels) keeps only the bar's part.
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

    // Bar 0..100 at 0 and shown; the status line cleared; the download's clock started.
    void downloadStarted();
    // fileSize > 0: the bar at received * 100 / fileSize, the status line "X of Y · T left".
    // Otherwise the bar is a busy indicator and the status line says how much arrived.
    void downloadProgress(qint64 received, qint64 fileSize);
    // Bar 0..100 at 0, still shown: the gating keeps the buttons disabled.
    void downloadFailed();
    // The bar and "Installing: N%" follow the extraction and are painted at once: the event loop
    // is not running. On Windows it also tells the system the window is alive, so call it at
    // least every second or two, also within a long entry.
    void extractionProgress(qint64 done, qint64 total);
    // Bar 0..100 at 100 and hidden, whatever the extraction's outcome; the progress text goes,
    // a failure already shown stays.
    void extractionEnded();
    // Bar 0..100 at 100; visibility left as it is. The status line cleared, Retry hidden.
    void installed();
    // The status line emptied and Retry hidden; the bar untouched (a repository up to date).
    void clear();
    // The status line says why, with the column's Retry button enabled.
    void failed(UpdateFailure failure, const QString &detail = QString());
    // Retry was pressed: disabled until the repository ends installed, up to date or failed.
    void retryStarted();

private:
    QLabel *statusLine() const;
    QAbstractButton *retryButton() const;
    void say(const QString &text, bool repaintNow = false);

    QPointer<QProgressBar> bar;
};
