#include "launch/columnstatus.h"

#include "extract/diskspace.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QWidget>

#include <cmath>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

// Before this the average speed swings too much to say a time.
constexpr qint64 estimateAfterMs = 3000;

QString timeLeftText(double msLeft)
{
    if (msLeft < 60000)
        return QStringLiteral("less than a minute left");
    const qint64 minutes = qint64(std::ceil(msLeft / 60000));
    if (minutes < 60)
        return QStringLiteral("%1 min left").arg(minutes);
    return QStringLiteral("%1 h %2 min left").arg(minutes / 60).arg(minutes % 60);
}

// Long folder names hold no blank to wrap at: allow a break after each separator.
QString wrappable(QString text)
{
    text.replace('/', QStringLiteral("/\u200B"));
    text.replace('\\', QStringLiteral("\\\u200B"));
    return text;
}

// Windows counts a window as hung when its thread has not looked at its message queue for five
// seconds. Peeking without removing tells it the thread is alive and dispatches no posted
// message: no reply, timer or click runs in the middle of the extraction.
void tellWindowsWeAreAlive()
{
#ifdef Q_OS_WIN
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_NOYIELD);
#endif
}

} // namespace

QString failureText(UpdateFailure failure, const QString &detail)
{
    QString why;
    switch (failure) {
    case UpdateFailure::CommitCheck:
        why = detail.isEmpty()
                  ? QStringLiteral("Could not check for updates (server not reached)")
                  : QStringLiteral("Could not check for updates (HTTP %1)").arg(detail);
        break;
    case UpdateFailure::NoCommits:
        why = QStringLiteral("No version published yet");
        break;
    case UpdateFailure::Download:
        why = QStringLiteral("Download failed (%1)").arg(detail);
        break;
    case UpdateFailure::ArchiveUnwritable:
        why = QStringLiteral("Could not write the download to %1").arg(detail);
        break;
    case UpdateFailure::Extraction:
        why = QStringLiteral("Update failed: %1 could not be written").arg(detail);
        break;
    case UpdateFailure::ArchiveMissing:
        why = QStringLiteral("Update failed: the downloaded archive %1 is missing").arg(detail);
        break;
    case UpdateFailure::ArchiveDamaged:
        why = QStringLiteral("Update failed: the downloaded archive is damaged (%1)").arg(detail);
        break;
    case UpdateFailure::FileInUse:
        why = QStringLiteral("Update failed: %1 is in use; close the program").arg(detail);
        break;
    case UpdateFailure::NoSpace:
        why = QStringLiteral("Not enough disk space: %1").arg(detail);
        break;
    case UpdateFailure::RecordUnwritable:
        why = QStringLiteral("Update failed: the installed version could not be recorded in %1")
                  .arg(detail);
        break;
    case UpdateFailure::RestoreFailed:
        return QStringLiteral("Update failed: %1 could not be put back. The game will be repaired "
                              "at the next start.")
            .arg(detail);
    }
    // Details such as the system's reasons may end with their own full stop.
    return why + QLatin1String(why.endsWith(u'.') ? "" : ".")
           + QStringLiteral(" It will be tried again at the next start.");
}

QString downloadText(qint64 received, qint64 total, qint64 attemptBytes, qint64 attemptMs)
{
    if (total <= 0)
        return DiskSpace::sizeText(received) + QStringLiteral(" downloaded");
    QString text = DiskSpace::sizeText(received) + QStringLiteral(" of ")
                   + DiskSpace::sizeText(total);
    if (attemptMs >= estimateAfterMs && attemptBytes > 0 && received < total)
        text += QStringLiteral(" \u00B7 ")
                + timeLeftText(double(total - received) * double(attemptMs) / double(attemptBytes));
    return text;
}

QString deltaText(qsizetype files, qsizetype allFiles, qint64 received, qint64 total)
{
    // Grouped the same way on every machine, like the sizes.
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    return QStringLiteral("Updating %1 of %2 files \u00B7 %3 of %4")
        .arg(english.toString(qint64(files)), english.toString(qint64(allFiles)),
             DiskSpace::sizeText(received), DiskSpace::sizeText(total));
}

ColumnStatus::ColumnStatus(QProgressBar *bar, QLabel *statusLine, QAbstractButton *retry)
    : m_bar(bar), m_statusLine(statusLine), m_retry(retry)
{
}

ColumnStatus::ColumnStatus(QProgressBar *bar) : m_bar(bar)
{
    if (QWidget *column = bar ? bar->parentWidget() : nullptr) {
        m_statusLine = column->findChild<QLabel *>(statusLineName, Qt::FindDirectChildrenOnly);
        m_retry = column->findChild<QAbstractButton *>(retryButtonName, Qt::FindDirectChildrenOnly);
    }
}

// An empty line is hidden, so a column with nothing to say looks as it always did.
void ColumnStatus::say(const QString &text, bool repaintNow)
{
    QLabel *line = m_statusLine;
    if (!line || line->text() == text)
        return;
    line->setText(text);
    line->setToolTip(QString(text).remove(QChar(0x200B)));
    line->setVisible(!text.isEmpty());
    if (repaintNow)
        line->repaint();
}

void ColumnStatus::showRetry(bool shown)
{
    if (!m_retry)
        return;
    m_retry->setEnabled(true);
    m_retry->setVisible(shown);
}

void ColumnStatus::downloadStarted()
{
    if (!m_bar)
        return;
    m_bar->setRange(0, 100);
    m_bar->setValue(0);
    m_bar->setVisible(true);
    say(QString());
    showRetry(false);
}

void ColumnStatus::downloadProgress(qint64 received, qint64 total, qint64 attemptBytes,
                                    qint64 attemptMs)
{
    if (!m_bar)
        return;
    if (total > 0)
        m_bar->setValue(int(qMin(received, total) * 100 / total));
    else
        m_bar->setRange(0, 0);
    say(downloadText(received, total, attemptBytes, attemptMs));
}

void ColumnStatus::deltaProgress(qsizetype files, qsizetype allFiles, qint64 received, qint64 total)
{
    if (!m_bar)
        return;
    m_bar->setRange(0, 100);
    m_bar->setValue(total > 0 ? int(qMin(received, total) * 100 / total) : 0);
    say(deltaText(files, allFiles, received, total));
}

void ColumnStatus::downloadFailed()
{
    if (!m_bar)
        return;
    m_bar->setRange(0, 100);
    m_bar->setValue(0);
}

void ColumnStatus::retrying(const QString &reason, int attempt, bool offerRetry)
{
    say(QStringLiteral("Download failed (%1). Trying again (attempt %2)\u2026")
            .arg(reason)
            .arg(attempt));
    showRetry(offerRetry);
}

void ColumnStatus::extractionProgress(qint64 done, qint64 total)
{
    tellWindowsWeAreAlive();
    if (!m_bar || total <= 0)
        return;
    const int percent = int(done * 100 / total);
    if (m_bar->maximum() == 100 && m_bar->value() == percent)
        return;
    m_bar->setRange(0, 100);
    m_bar->setValue(percent);
    // Painted now: no event loop turns until the extraction returns.
    m_bar->repaint();
    say(QStringLiteral("Installing: %1%").arg(percent), true);
}

void ColumnStatus::movingFiles()
{
    tellWindowsWeAreAlive();
    say(QStringLiteral("Installing: moving files"), true);
}

void ColumnStatus::verifying(qint64 done, qint64 total)
{
    tellWindowsWeAreAlive();
    say(QStringLiteral("Verifying files: %1 of %2").arg(done).arg(total), true);
}

void ColumnStatus::verified(const QString &text)
{
    say(text);
    showRetry(false);
}

void ColumnStatus::extractionEnded()
{
    if (!m_bar)
        return;
    m_bar->setRange(0, 100);
    m_bar->setValue(100);
    m_bar->setVisible(false);
    // A failure said before the end stays; only the progress goes.
    if (!m_retry || m_retry->isHidden())
        say(QString());
}

void ColumnStatus::installed()
{
    if (!m_bar)
        return;
    m_bar->setRange(0, 100);
    m_bar->setValue(100);
    say(QString());
    showRetry(false);
}

void ColumnStatus::upToDate()
{
    if (m_bar)
        m_bar->setVisible(false);
    say(QString());
    showRetry(false);
}

void ColumnStatus::failed(UpdateFailure failure, const QString &detail)
{
    say(wrappable(failureText(failure, detail)));
    showRetry(true);
}

void ColumnStatus::refused(const QString &why)
{
    say(wrappable(why));
    showRetry(false);
}

void ColumnStatus::retryStarted()
{
    say(QStringLiteral("Trying again\u2026"));
    if (m_retry)
        m_retry->setEnabled(false);
}
