#include "launch/buttonpanel.h"

#include <QObject>
#include <QWidget>

QWidget *findButtonPanel(const QObject *manager)
{
    const QObject *window = manager->parent();
    return window ? window->findChild<QWidget *>(buttonPanelName, Qt::FindChildrenRecursively)
                  : nullptr;
}
