#include "launch/gating.h"

#include <QDebug>
#include <QList>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QWidget>

namespace Gating {

void disableButtons(QWidget *panel)
{
    const QList<QPushButton *> buttons =
        panel->findChildren<QPushButton *>(QString(), Qt::FindChildrenRecursively);
    for (QPushButton *button : buttons)
        button->setEnabled(false);
    qDebug() << "Todos os botões foram desativados!";
}

bool enableButtonsIfComplete(QWidget *panel)
{
    const QList<QProgressBar *> bars =
        panel->findChildren<QProgressBar *>(QString(), Qt::FindChildrenRecursively);
    for (const QProgressBar *bar : bars) {
        if (bar->isVisible()) {
            qDebug() << "Nem todas as barras de progresso estão completas. Os botões não serão "
                        "ativados ainda.";
            return false;
        }
    }
    const QList<QPushButton *> buttons =
        panel->findChildren<QPushButton *>(QString(), Qt::FindChildrenRecursively);
    for (QPushButton *button : buttons)
        button->setEnabled(true);
    qDebug() << allUpdatesDoneLine;
    return true;
}

QProgressBar *progressBar(QWidget *panel, const QString &repoName)
{
    const QList<QProgressBar *> bars =
        panel->findChildren<QProgressBar *>(QString(), Qt::FindChildrenRecursively);
    for (QProgressBar *bar : bars) {
        if (bar->objectName() == repoName)
            return bar;
    }
    return nullptr;
}

} // namespace Gating
