#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QMessageBox>
#include <QTimer>

// Watches for message boxes while it lives: each one seen is recorded and then closed with its
// first button, so the code under test returns from its modal loop.
class BoxCatcher : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text; // the texts of all its labels, one a line
    };

    BoxCatcher();
    const QList<Box> &boxes() const { return m_boxes; }
    int count() const { return int(m_boxes.size()); }

private:
    QTimer m_timer;
    QList<Box> m_boxes;
    QPointer<QMessageBox> m_current;
};
