#include "launch/columnstatus.h"

#include "launch/buttonpanel.h"
#include "manifest/repomanager.h"

#include <QAbstractButton>
#include <QLabel>
#include <QList>
#include <QProgressBar>
#include <QVariant>
#include <QWidget>

#include <chrono>
#include <cmath>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

// The bar carries when its download started: the calls come from different handlers, and each
// makes a ColumnStatus of its own.
constexpr char startedProperty[] = "veltroDownloadStarted";
// Before this the average speed swings too much to say a time.
constexpr qint64 estimateAfterMs = 3000;

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Binary units with the names Windows shows ("312 MB", "1.4 GB"); one decimal below 10.
QString sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    const char *units[] = {"KB", "MB", "GB", "TB"};
    int unit = 0;
    qint64 scale = 1024;
    while (unit < 3 && bytes / scale >= 1024) {
        scale *= 1024;
        ++unit;
    }
    const qint64 tenths = bytes * 10 / scale;
    const QString number = tenths < 100 ? QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10)
                                        : QString::number(bytes / scale);
    return number + ' ' + QLatin1String(units[unit]);
}

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
    case UpdateFailure::FileInUse:
        why = QStringLiteral("Update failed: %1 is in use; close the program").arg(detail);
        break;
    }
    // Details such as the system's reasons may end with their own full stop.
    return why + QLatin1String(why.endsWith(u'.') ? "" : ".")
           + QStringLiteral(" It will be tried again at the next start.");
}

QString downloadText(qint64 received, qint64 total, qint64 elapsedMs)
{
    if (total <= 0)
        return sizeText(received) + QStringLiteral(" downloaded");
    QString text = sizeText(received) + QStringLiteral(" of ") + sizeText(total);
    if (elapsedMs >= estimateAfterMs && received > 0 && received < total)
        text += QStringLiteral(" \u00B7 ")
                + timeLeftText(double(total - received) * double(elapsedMs) / double(received));
    return text;
}

ColumnStatus::ColumnStatus(QProgressBar *bar) : bar(bar)
{
}

ColumnStatus ColumnStatus::find(RepoManager *manager, const QString &repoName)
{
    return ColumnStatus(manager->findProgressBar(repoName));
}

ColumnStatus ColumnStatus::findQuietly(const RepoManager *manager, const QString &repoName)
{
    QWidget *panel = findButtonPanel(manager);
    if (!panel)
        return {};
    const QList<QProgressBar *> bars = panel->findChildren<QProgressBar *>();
    for (QProgressBar *bar : bars) {
        if (bar->objectName() == repoName)
            return ColumnStatus(bar);
    }
    return {};
}

QLabel *ColumnStatus::statusLine() const
{
    QWidget *column = bar ? bar->parentWidget() : nullptr;
    return column ? column->findChild<QLabel *>(statusLineName, Qt::FindDirectChildrenOnly)
                  : nullptr;
}

QAbstractButton *ColumnStatus::retryButton() const
{
    QWidget *column = bar ? bar->parentWidget() : nullptr;
    return column
               ? column->findChild<QAbstractButton *>(retryButtonName, Qt::FindDirectChildrenOnly)
               : nullptr;
}

// An empty line is hidden, so a column with nothing to say looks as it always did.
void ColumnStatus::say(const QString &text, bool repaintNow)
{
    QLabel *line = statusLine();
    if (!line || line->text() == text)
        return;
    line->setText(text);
    line->setToolTip(QString(text).remove(QChar(0x200B)));
    line->setVisible(!text.isEmpty());
    if (repaintNow)
        line->repaint();
}

void ColumnStatus::downloadStarted()
{
    if (!bar)
        return;
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setVisible(true);
    bar->setProperty(startedProperty, steadyMs());
    say(QString());
}

void ColumnStatus::downloadProgress(qint64 received, qint64 fileSize)
{
    if (!bar)
        return;
    if (fileSize > 0)
        bar->setValue(int(received * 100 / fileSize));
    else
        bar->setRange(0, 0);
    const QVariant started = bar->property(startedProperty);
    say(downloadText(received, fileSize,
                     started.isValid() ? steadyMs() - started.toLongLong() : 0));
}

void ColumnStatus::downloadFailed()
{
    if (!bar)
        return;
    bar->setRange(0, 100);
    bar->setValue(0);
}

void ColumnStatus::extractionProgress(qint64 done, qint64 total)
{
    tellWindowsWeAreAlive();
    if (!bar || total <= 0)
        return;
    const int percent = int(done * 100 / total);
    if (bar->maximum() == 100 && bar->value() == percent)
        return;
    bar->setRange(0, 100);
    bar->setValue(percent);
    // Painted now: no event loop turns until the extraction returns.
    bar->repaint();
    say(QStringLiteral("Installing: %1%").arg(percent), true);
}

void ColumnStatus::extractionEnded()
{
    if (!bar)
        return;
    bar->setRange(0, 100);
    bar->setValue(100);
    bar->setVisible(false);
    // A failure said before the end stays; only the progress goes.
    const QAbstractButton *retry = retryButton();
    if (!retry || retry->isHidden())
        say(QString());
}

void ColumnStatus::installed()
{
    if (!bar)
        return;
    bar->setRange(0, 100);
    bar->setValue(100);
    clear();
}

void ColumnStatus::clear()
{
    say(QString());
    if (QAbstractButton *retry = retryButton())
        retry->setVisible(false);
}

void ColumnStatus::failed(UpdateFailure failure, const QString &detail)
{
    say(wrappable(failureText(failure, detail)));
    if (QAbstractButton *retry = retryButton()) {
        retry->setEnabled(true);
        retry->setVisible(true);
    }
}

void ColumnStatus::retryStarted()
{
    say(QStringLiteral("Trying again\u2026"));
    if (QAbstractButton *retry = retryButton())
        retry->setEnabled(false);
}
