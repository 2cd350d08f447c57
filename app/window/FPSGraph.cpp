#include "app/window/FPSGraph.hpp"

#include <algorithm>
#include <cmath>

#include <QPainter>
#include <QPolygonF>
#include <QVarLengthArray>

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
    // costs tens of times more. So the area is filled column by column without antialiasing (its edge is the
    // curve's) and the 1.5-wide curve is two 1-wide strokes half a pixel apart.
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
        // The area under the curve as one pixel column per x, handed over in one call.
        QVarLengthArray<QRectF, 512> columns;
        std::size_t segment = 1;
        for (int x = static_cast<int>(std::ceil(curve.first().x())); x < static_cast<int>(w); ++x) {
            const double centre = x + 0.5;
            while (segment + 1 < n && curve[static_cast<qsizetype>(segment)].x() < centre) ++segment;
            const QPointF a = curve[static_cast<qsizetype>(segment - 1)];
            const QPointF b = curve[static_cast<qsizetype>(segment)];
            const double y = std::round(a.y() + (b.y() - a.y()) * (centre - a.x()) / std::max(b.x() - a.x(), 1e-9));
            if (y < h) columns.append(QRectF(x, y, 1, h - y));
        }
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRects(columns.constData(), static_cast<int>(columns.size()));
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
