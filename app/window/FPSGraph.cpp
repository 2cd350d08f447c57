#include "app/window/FPSGraph.hpp"

#include <algorithm>

#include <QPainter>
#include <QPolygonF>

#include "app/window/OverlayStyle.hpp"

namespace corvane::FPSGraph {

void paint(QPainter& painter, const QRectF& rect, const std::vector<int>& values, int target) {
    const double w = rect.width();
    const double h = rect.height();
    double top = std::max(target, 1);
    for (int value : values) top = std::max(top, double(value));
    painter.save();
    painter.translate(rect.topLeft());
    painter.setRenderHint(QPainter::Antialiasing, false);

    // 1-wide antialiased pens take the rasteriser's fast path; a 1.5-wide stroke (or an antialiased fill)
    // costs tens of times more. So the area is filled without antialiasing (its edge is the curve's) and the
    // 1.5-wide curve is two 1-wide strokes half a pixel apart.
    painter.setRenderHint(QPainter::Antialiasing);
    QPen dashed(QColor(255, 255, 255, 46), 1.0);
    dashed.setDashPattern({3, 3});
    painter.setPen(dashed);
    const double targetY = h - h * target / top;
    painter.drawLine(QPointF(0, targetY), QPointF(w, targetY));

    const std::size_t n = values.size();
    if (n >= 2) {
        QPolygonF curve;
        curve.reserve(static_cast<qsizetype>(n));
        for (std::size_t i = 0; i < n; ++i) curve << QPointF(w - (w / 29) * double(n - 1 - i), h - h * values[i] / top);
        QColor colour = OverlayStyle::fpsColor(values.back(), target);
        QColor fill = colour;
        fill.setAlphaF(0.18f);
        QPolygonF area = curve;
        area << QPointF(w, h) << QPointF(curve.first().x(), h);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawPolygon(area);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(colour, 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPolyline(curve);
        painter.translate(0, 0.5);
        painter.drawPolyline(curve);
    }
    painter.restore();
}

}  // namespace corvane::FPSGraph
