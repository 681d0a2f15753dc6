#include "app/borderedlabel.h"

#include <QColor>
#include <QPainter>
#include <QPalette>

BorderedLabel::BorderedLabel(const QString &text, QWidget *parent)
    : QLabel(text, parent)
{
}

BorderedLabel::~BorderedLabel() = default;

void BorderedLabel::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(80, 80, 80, 150));
    painter.drawText(rect().translated(1, 1), int(alignment()), text());
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect(), int(alignment()), text());
    painter.end();
}
