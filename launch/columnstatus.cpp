#include "launch/columnstatus.h"

#include "launch/buttonpanel.h"
#include "manifest/repomanager.h"

#include <QList>
#include <QWidget>
#include <QProgressBar>

QString failureText(UpdateFailure failure, const QString &detail)
{
    switch (failure) {
    case UpdateFailure::CommitCheck:
        return detail.isEmpty() ? QStringLiteral("Could not check for updates")
                                : QStringLiteral("Could not check for updates (HTTP %1)").arg(detail);
    case UpdateFailure::NoCommits:
        return QStringLiteral("No version published");
    case UpdateFailure::Download:
        return QStringLiteral("Download failed (%1)").arg(detail);
    case UpdateFailure::ArchiveUnwritable:
        return QStringLiteral("Could not write the download to %1").arg(detail);
    case UpdateFailure::Extraction:
        return QStringLiteral("Update failed: %1 could not be written").arg(detail);
    case UpdateFailure::FileInUse:
        return QStringLiteral("Update failed: %1 is in use; close the program").arg(detail);
    }
    return {};
}

ColumnStatus::ColumnStatus(QProgressBar *bar) : bar(bar) {}

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

void ColumnStatus::downloadStarted()
{
    if (!bar)
        return;
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setVisible(true);
}

void ColumnStatus::downloadProgress(qint64 received, qint64 fileSize)
{
    if (!bar)
        return;
    if (fileSize > 0)
        bar->setValue(int(received * 100 / fileSize));
    else
        bar->setRange(0, 0);
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
    if (!bar || total <= 0)
        return;
    bar->setRange(0, 100);
    bar->setValue(int(done * 100 / total));
    bar->repaint();
}

void ColumnStatus::extractionEnded()
{
    if (!bar)
        return;
    bar->setRange(0, 100);
    bar->setValue(100);
    bar->setVisible(false);
}

void ColumnStatus::installed()
{
    if (!bar)
        return;
    bar->setRange(0, 100);
    bar->setValue(100);
}

void ColumnStatus::clear() {}

void ColumnStatus::failed(UpdateFailure, const QString &) {}
