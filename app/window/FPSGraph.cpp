#include "app/window/FPSGraph.hpp"

#include <algorithm>

#include <QPainter>
#include <QPainterPath>

#include "app/window/OverlayStyle.hpp"

namespace corvane::FPSGraph {

void paint(QPainter& painter, const QRectF& rect, const std::vector<int>& values, int target) {
    const double w = rect.width();
    const double h = rect.height();
    double top = std::max(target, 1);
    for (int value : values) top = std::max(top, double(value));
    painter.save();
    painter.translate(rect.topLeft());
    painter.setRenderHint(QPainter::Antialiasing);

    QPen dashed(QColor(255, 255, 255, 46), 1.0);
    dashed.setDashPattern({3, 3});
    painter.setPen(dashed);
    const double targetY = h - h * target / top;
    painter.drawLine(QPointF(0, targetY), QPointF(w, targetY));

    const std::size_t n = values.size();
    if (n >= 2) {
        QPainterPath curve;
        for (std::size_t i = 0; i < n; ++i) {
            const QPointF point(w - (w / 29) * double(n - 1 - i), h - h * values[i] / top);
            if (i == 0)
                curve.moveTo(point);
            else
                curve.lineTo(point);
        }
        QPainterPath area = curve;
        area.lineTo(QPointF(w, h));
        area.lineTo(QPointF(w - (w / 29) * double(n - 1), h));
        area.closeSubpath();
        QColor colour = OverlayStyle::fpsColor(values.back(), target);
        QColor fill = colour;
        fill.setAlphaF(0.18f);
        painter.setPen(Qt::NoPen);
        painter.fillPath(area, fill);
        painter.setPen(QPen(colour, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(curve);
    }
    painter.restore();
}

}  // namespace corvane::FPSGraph
