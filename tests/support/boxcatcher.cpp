#include "boxcatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>

BoxCatcher::BoxCatcher()
{
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            // A pressed box may stay visible until its loop returns: it is recorded once.
            if (!box || !box->isVisible() || box == m_current)
                continue;
            m_current = box;
            QStringList texts;
            for (const QLabel *label : box->findChildren<QLabel *>())
                if (!label->text().isEmpty())
                    texts << label->text();
            m_boxes.append({box->windowTitle(), texts.join('\n')});
            box->buttons().value(0) ? box->buttons().first()->click() : box->reject();
            return;
        }
    });
    m_timer.start();
}
