#include "app/ui/Card.hpp"

#include <QPainter>
#include <QPainterPath>

namespace corvane {

Card::Card(Look::Fill fill, bool border, QWidget* parent) : QFrame(parent), fill_(fill), border_(border) {}

void Card::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(shape, 10, 10);
    painter.fillPath(path, Look::fill(palette(), fill_));
    if (!border_) return;
    QColor line = palette().color(QPalette::WindowText);
    line.setAlphaF(0.12f);
    painter.setPen(QPen(line, 1));
    painter.drawPath(path);
}

} // namespace corvane
