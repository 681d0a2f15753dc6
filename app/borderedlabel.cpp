#include "app/borderedlabel.h"

#include <QColor>
#include <QPainter>
#include <QPalette>

BorderedLabel::BorderedLabel(const QString &text, QWidget *parent) : QLabel(text, parent)
{
}

BorderedLabel::~BorderedLabel() = default;

void BorderedLabel::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int flags = int(alignment()) | (wordWrap() ? Qt::TextWordWrap : 0);
    painter.setPen(QColor(80, 80, 80, 150));
    painter.drawText(rect().translated(1, 1), flags, text());
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect(), flags, text());
    painter.end();
}
