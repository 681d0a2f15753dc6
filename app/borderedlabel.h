#pragma once

#include <QLabel>
#include <QString>

class QPaintEvent;
class QWidget;

// A caption drawn over a one-pixel translucent grey shadow, to stand out on any background.
class BorderedLabel : public QLabel
{
    Q_OBJECT

public:
    BorderedLabel(const QString &text, QWidget *parent);
    ~BorderedLabel() override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
