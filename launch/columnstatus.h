#pragma once

#include <QPointer>
#include <QString>
#include <QtGlobal>

class QAbstractButton;
class QLabel;
class QProgressBar;

// Why a repository's update did not end installed.
enum class UpdateFailure {
    CommitCheck,       // detail: the HTTP status as text, empty when the server was not reached
    NoCommits,         // detail: unused
    Download,          // detail: what went wrong, in the player's words ("server answered 404")
    ArchiveUnwritable, // detail: the folder, then ": " and the system's reason
    Extraction,        // detail: the entry or file that could not be written
    ArchiveMissing,    // detail: the archive's file name
    ArchiveDamaged,    // detail: the entry at fault, or the archive's file name
    FileInUse,         // detail: the installed file a running program holds
    NoSpace,           // detail: "X needed on <folder>, Y free"
    RecordUnwritable,  // detail: the hash file, then ": " and the system's reason
    RestoreFailed,     // detail: the file that could not be put back
};

// The player's words for a failure, ending with what happens next. Every column's failure text
// comes from here.
QString failureText(UpdateFailure failure, const QString &detail);

// The status line of a download: "312 MB of 1.4 GB · 2 min left". The time left is an estimate
// from this attempt's average speed (a continued download's earlier bytes do not count), shown
// once that average means something. total <= 0: the size is unknown and only what arrived is
// said.
QString downloadText(qint64 received, qint64 total, qint64 attemptBytes, qint64 attemptMs);
// "Updating 3 of 2,140 files · 2.1 MB of 2.4 MB"
QString deltaText(qsizetype files, qsizetype allFiles, qint64 received, qint64 total);

// Object names of the status line and of the Retry button, siblings of the bar in its column.
inline constexpr char statusLineName[] = "columnStatus";
inline constexpr char retryButtonName[] = "retryButton";

// What one repository's column shows of its update: the progress bar, whose visibility the
// gating reads as "update pending", and the status line with its Retry button under it. Made
// once with the column; a column without a status line (the tests' bare panels) keeps only the
// bar's part, and one without a bar makes every call a no-op.
class ColumnStatus
{
public:
    ColumnStatus() = default;
    ColumnStatus(QProgressBar *bar, QLabel *statusLine, QAbstractButton *retry);
    // The column of a bar whose status line and Retry are its siblings.
    explicit ColumnStatus(QProgressBar *bar);

    // Bar 0..100 at 0 and shown; the status line cleared, Retry hidden.
    void downloadStarted();
    // total > 0: the bar at received * 100 / total, the status line "X of Y · T left".
    // Otherwise the bar is a busy indicator and the status line says how much arrived.
    void downloadProgress(qint64 received, qint64 total, qint64 attemptBytes, qint64 attemptMs);
    // Bar 0..100 at 0, still shown: the gating keeps the buttons disabled.
    void downloadFailed();
    // A delta update fetching the changed files' bytes.
    void deltaProgress(qsizetype files, qsizetype allFiles, qint64 received, qint64 total);
    // A failed attempt to be made again by itself: the reason and the attempt's number; Retry
    // shown (it tries at once) once attempts are spaced out.
    void retrying(const QString &reason, int attempt, bool offerRetry);
    // The bar and "Installing: N%" follow the extraction and are painted at once: the event loop
    // is not running. On Windows it also tells the system the window is alive, so call it at
    // least every second or two, also within a long entry.
    void extractionProgress(qint64 done, qint64 total);
    // The same while the files are moved into place: "Installing: moving files".
    void movingFiles();
    // Bar 0..100 at 100 and hidden, whatever the extraction's outcome; the progress text goes,
    // a failure already shown stays.
    void extractionEnded();
    // Bar 0..100 at 100; visibility left as it is. The status line cleared, Retry hidden.
    void installed();
    // Nothing to do: the bar hidden, the status line emptied and Retry hidden.
    void upToDate();
    // "Verifying files: N of M", painted at once: the event loop waits meanwhile.
    void verifying(qint64 done, qint64 total);
    // The status line says what came of a verification that found nothing to repair.
    void verified(const QString &text);
    // The status line says why, with the column's Retry button enabled.
    void failed(UpdateFailure failure, const QString &detail = QString());
    // The status line says why the repository is never synchronised; no Retry.
    void refused(const QString &why);
    // Retry was pressed: disabled until the repository ends installed, up to date or failed.
    void retryStarted();

private:
    void say(const QString &text, bool repaintNow = false);
    void showRetry(bool shown);

    QPointer<QProgressBar> m_bar;
    QPointer<QLabel> m_statusLine;
    QPointer<QAbstractButton> m_retry;
};
