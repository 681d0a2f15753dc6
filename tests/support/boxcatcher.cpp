#include "boxcatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>

BoxCatcher::BoxCatcher(QMessageBox::StandardButton press, QObject *parent)
    : QObject(parent), m_press(press)
{
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &BoxCatcher::poll);
    m_timer.start();
}

bool BoxCatcher::waitForBoxes(int n, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (count() < n && !deadline.hasExpired())
        QTest::qWait(10);
    return count() >= n;
}

void BoxCatcher::poll()
{
    QMessageBox *box = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *candidate = qobject_cast<QMessageBox *>(widget);
        if (candidate && candidate->isVisible()) {
            box = candidate;
            break;
        }
    }
    // A box is recorded once, then pressed; it may stay visible until its loop returns.
    if (!box || box == m_current)
        return;
    m_current = box;
    Box seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    for (QLabel *label : box->findChildren<QLabel *>())
        seen.labelTexts.append(label->text());
    for (QAbstractButton *button : box->buttons())
        seen.buttons.append(box->standardButton(button));
    if (QPushButton *byDefault = box->defaultButton())
        seen.defaultButton = box->standardButton(byDefault);
    seen.icon = box->icon();
    seen.flags = box->windowFlags();
    seen.styleSheet = box->styleSheet();
    seen.hasParent = box->parentWidget() != nullptr;
    m_boxes.append(seen);

    QAbstractButton *target = m_press == QMessageBox::NoButton
        ? (box->buttons().isEmpty() ? nullptr : box->buttons().first())
        : box->button(m_press);
    if (target)
        target->click();
    else
        box->reject();
}
