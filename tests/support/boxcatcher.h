#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

// Watches for message boxes while it lives. Each box it sees is recorded (title, text, the texts
// of its labels, its buttons, flags and style sheet) and then closed by pressing a button, so the
// code under test returns from its modal loop.
class BoxCatcher : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text;
        QStringList labelTexts; // every QLabel of the box, in child order
        QList<QMessageBox::StandardButton> buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        Qt::WindowFlags flags;
        QString styleSheet;
        bool hasParent = false;
    };

    // press: the button to press, or NoButton for the box's first button.
    explicit BoxCatcher(QMessageBox::StandardButton press = QMessageBox::NoButton,
                        QObject *parent = nullptr);

    const QList<Box> &boxes() const { return m_boxes; }
    int count() const { return int(m_boxes.size()); }
    // Runs the event loop until count() reaches n or the time is up.
    bool waitForBoxes(int n = 1, int timeoutMs = 10000);

private:
    void poll();

    QMessageBox::StandardButton m_press;
    QTimer m_timer;
    QList<Box> m_boxes;
    QPointer<QMessageBox> m_current;
};
