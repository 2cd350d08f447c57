#include "app/ui/ShrinkingLabel.hpp"

#include <QPainter>

#include <algorithm>

namespace corvane {

ShrinkingLabel::ShrinkingLabel(double minimumScale, QWidget* parent) : QLabel(parent), minimumScale_(minimumScale) {
    setTextFormat(Qt::PlainText);
}

QSize ShrinkingLabel::sizeHint() const { return {0, QLabel::sizeHint().height()}; }

QSize ShrinkingLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }

QFont ShrinkingLabel::fittedFont(int width) const {
    const QFont base = font();
    const int natural = QFontMetrics(base).horizontalAdvance(text());
    if (natural <= width) return base;
    const auto scaled = [&base](double scale) {
        QFont font = base;
        if (base.pointSizeF() > 0) font.setPointSizeF(base.pointSizeF() * scale);
        else font.setPixelSize(std::max(1, static_cast<int>(base.pixelSize() * scale)));
        return font;
    };
    // Glyphs do not scale exactly with the size: step down until the text fits or the floor is reached.
    double scale = std::max(minimumScale_, static_cast<double>(std::max(width, 0)) / natural);
    while (scale > minimumScale_ && QFontMetrics(scaled(scale)).horizontalAdvance(text()) > width)
        scale = std::max(minimumScale_, scale - 0.02);
    return scaled(scale);
}

void ShrinkingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.setFont(fittedFont(area.width()));
    painter.setPen(palette().color(foregroundRole()));
    const QString shown = painter.fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    painter.drawText(area, static_cast<int>(alignment()) | Qt::TextSingleLine, shown);
}

} // namespace corvane
