#include "app/window/StatsHeadline.hpp"

#include <algorithm>
#include <cmath>

#include <QFontMetricsF>
#include <QPainter>

#include "app/window/OverlayStyle.hpp"
#include "app/window/StatsOverlay.hpp"

namespace corvane::StatsHeadline {

namespace {

constexpr double dot = 7;
constexpr double spacing = 8;

const QFont& headlineFont() { return OverlayStyle::font(13, QFont::DemiBold); }

}  // namespace

std::string fpsText(const StatsOverlay& model) {
    if (model.needsScreenPermission) return "FPS: allow Screen Recording for Corvane";
    if (auto fps = model.fps()) return std::to_string(*fps) + " FPS";
    return "-- FPS";
}

std::string latencyText(const StatsOverlay& model) {
    if (auto ms = model.latencyMs()) return OverlayStyle::latencyText(*ms);
    return "-- ms";
}

double height() { return std::ceil(std::max(dot, QFontMetricsF(headlineFont()).height())); }

QSizeF size(const StatsOverlay& model) {
    const QFontMetricsF metrics(headlineFont());
    const double width = dot + spacing + metrics.horizontalAdvance(QString::fromStdString(fpsText(model))) + spacing +
                         metrics.horizontalAdvance(QStringLiteral("|")) + spacing +
                         metrics.horizontalAdvance(QString::fromStdString(latencyText(model)));
    return QSizeF(std::ceil(width), height());
}

QPointF dotCentre(const StatsOverlay&) { return QPointF(dot / 2, height() / 2); }

void paint(QPainter& painter, QPointF origin, const StatsOverlay& model) {
    const QFont font = headlineFont();
    const QFontMetricsF metrics(font);
    const double rowHeight = height();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(OverlayStyle::fpsColor(model.fps(), model.targetFPS()));
    painter.drawEllipse(QRectF(origin.x(), origin.y() + (rowHeight - dot) / 2, dot, dot));
    painter.setFont(font);
    const double baseline = origin.y() + (rowHeight - metrics.height()) / 2 + metrics.ascent();
    double x = origin.x() + dot + spacing;
    auto text = [&](const QString& value, double opacity) {
        painter.setPen(QColor(255, 255, 255, static_cast<int>(opacity * 255 + 0.5)));
        painter.drawText(QPointF(x, baseline), value);
        x += metrics.horizontalAdvance(value) + spacing;
    };
    text(QString::fromStdString(fpsText(model)), 1.0);
    text(QStringLiteral("|"), 0.4);
    text(QString::fromStdString(latencyText(model)), 1.0);
    painter.restore();
}

}  // namespace corvane::StatsHeadline
