#include "launch/buttonpanel.h"
#include "manifest/repomanager.h"

#include <QDebug>
#include <QList>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

void RepoManager::disableAllButtons()
{
    QWidget *panel = findButtonPanel(this);
    if (!panel) {
        qDebug() << "Button panel not found!";
        return;
    }
    const QList<QPushButton *> buttons =
        panel->findChildren<QPushButton *>(QString(), Qt::FindChildrenRecursively);
    for (QPushButton *button : buttons)
        button->setEnabled(false);
    qDebug() << "Todos os botões foram desativados!";
}

void RepoManager::enableButtonsIfComplete()
{
    QWidget *panel = findButtonPanel(this);
    if (!panel) {
        qDebug() << "Panel de botões não encontrado!";
        return;
    }
    // A shown bar is a pending update, whatever its value.
    const QList<QProgressBar *> bars =
        panel->findChildren<QProgressBar *>(QString(), Qt::FindChildrenRecursively);
    for (const QProgressBar *bar : bars) {
        if (bar->isVisible()) {
            qDebug() << "Nem todas as barras de progresso estão completas. Os botões não serão "
                        "ativados ainda.";
            return;
        }
    }
    const QList<QPushButton *> buttons =
        panel->findChildren<QPushButton *>(QString(), Qt::FindChildrenRecursively);
    for (QPushButton *button : buttons)
        button->setEnabled(true);
    qDebug() << "Todos os botões foram ativados, todas as atualizações estão completas!";
}

QProgressBar *RepoManager::findProgressBar(const QString &repoName)
{
    QWidget *panel = findButtonPanel(this);
    if (!panel) {
        qDebug() << "Button panel not found!";
        return nullptr;
    }
    const QList<QProgressBar *> bars =
        panel->findChildren<QProgressBar *>(QString(), Qt::FindChildrenRecursively);
    for (QProgressBar *bar : bars) {
        if (bar->objectName() == repoName)
            return bar;
    }
    qDebug() << "Repository progress bar " << repoName << "not found!";
    return nullptr;
}
