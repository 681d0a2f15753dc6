#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>

// Watches for message boxes while it lives: each one seen is recorded (its title, and the texts
// of its labels one a line) and closed with its first button, so the code under test returns
// from its modal loop.
class BoxCatcher
{
public:
    struct Box
    {
        QString title;
        QString text;
    };

    BoxCatcher()
    {
        m_timer.callOnTimeout([this] {
            const auto widgets = QApplication::topLevelWidgets();
            for (QWidget *widget : widgets) {
                auto *box = qobject_cast<QMessageBox *>(widget);
                // A pressed box may stay visible until its loop returns: it is recorded once.
                if (!box || !box->isVisible() || box == m_current)
                    continue;
                m_current = box;
                QStringList texts;
                for (const QLabel *label : box->findChildren<QLabel *>())
                    texts << label->text();
                texts.removeAll(QString());
                m_boxes.append({box->windowTitle(), texts.join('\n')});
                box->buttons().value(0) ? box->buttons().first()->click() : box->reject();
                return;
            }
        });
        m_timer.start(20);
    }
    const QList<Box> &boxes() const { return m_boxes; }
    int count() const { return int(m_boxes.size()); }

private:
    QTimer m_timer;
    QList<Box> m_boxes;
    QPointer<QMessageBox> m_current;
};
