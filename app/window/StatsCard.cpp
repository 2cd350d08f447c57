#include "app/window/StatsCard.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <QFontMetricsF>
#include <QPainter>

#include "app/window/FPSGraph.hpp"
#include "app/window/LoadFigure.hpp"
#include "app/window/OverlayStyle.hpp"
#include "app/window/StatsHeadline.hpp"
#include "app/window/StatsOverlay.hpp"

namespace corvane::StatsCard {

namespace {

constexpr double spacing = 10;
constexpr double columnSpacing = 14;
constexpr double rowSpacing = 5;
const char* const hintText =
    "Low FPS is normal on a still screen: the box only sends a new frame when the picture changes.";

// 11.5 and 10.5 raised to 12 pixels: no text of the app is smaller than 9 points.
const QFont& rowFont() { return OverlayStyle::font(12, QFont::Medium); }
const QFont& hintFont() { return OverlayStyle::font(12, QFont::Normal); }
double inner() { return width - 2 * padding; }

// The label column: as wide as the widest label the card may show (the labels never change).
double labelColumn() {
    static const double widest = [] {
        const QFontMetricsF metrics(rowFont());
        double result = 0;
        for (const char* label : {"Frame rate", "Latency", "Video", "Box"})
            result = std::max(result, metrics.horizontalAdvance(QString::fromLatin1(label)));
        return std::ceil(result);
    }();
    return widest;
}

std::vector<std::pair<std::string, std::string>> rows(const StatsOverlay& model) {
    std::vector<std::pair<std::string, std::string>> list{
        {"Frame rate", frameRate(model)}, {"Latency", latency(model)}, {"Video", video(model)}};
    if (auto load = box(model)) list.emplace_back("Box", *load);
    return list;
}

// As wide as its headline and its widest row and never narrower than `width`: a figure is never cut, and every one of them is
// made of numbers and a few fixed words, so the card stays small.
double cardWidth(const StatsOverlay& model) {
    const QFontMetricsF metrics(rowFont());
    double widest = 0;
    for (const auto& row : rows(model))
        widest = std::max(widest, metrics.horizontalAdvance(QString::fromStdString(row.second)));
    widest = std::max(labelColumn() + columnSpacing + widest, StatsHeadline::size(model).width());
    return std::max(width, std::ceil(padding + widest + padding));
}

std::string percent(const char* name, double load) { return name + (" " + LoadFigure::text(load)); }

QRectF hintRect(double top) {
    // The text and its width never change: laid out once.
    static const double height = std::ceil(QFontMetricsF(hintFont())
                                               .boundingRect(QRectF(0, 0, inner(), 1000), Qt::TextWordWrap,
                                                             QString::fromUtf8(hintText))
                                               .height());
    return QRectF(padding, top, inner(), height);
}

// The top of the rows' grid.
double gridTop() {
    return padding + StatsHeadline::height() + spacing + graphHeight + spacing + 1 + spacing;
}

double gridHeight(const StatsOverlay& model) {
    const QFontMetricsF metrics(rowFont());
    const auto count = static_cast<double>(rows(model).size());
    return count * std::ceil(metrics.height()) + (count - 1) * rowSpacing;
}

}  // namespace

std::string frameRate(const StatsOverlay& model) {
    if (!model.fps()) return "--";
    return std::to_string(*model.fps()) + " of " + std::to_string(model.targetFPS()) + " FPS";
}

std::string latency(const StatsOverlay& model) {
    if (!model.latencyMs()) return "--";
    std::string text = OverlayStyle::latencyText(*model.latencyMs());
    if (model.jitterMs()) text += ", jitter " + OverlayStyle::latencyText(*model.jitterMs());
    return text;
}

std::string video(const StatsOverlay& model) {
    if (!model.info()) return "--";
    const auto& info = *model.info();
    std::string text = std::to_string(info.width) + " x " + std::to_string(info.height) + ", " + info.codec + ", " +
                       std::to_string(info.bitrateMbps) + " Mbps";
    if (info.hdr) text += ", HDR";
    return text;
}

std::optional<std::string> box(const StatsOverlay& model) {
    if (!model.boxStatus()) return std::nullopt;
    const auto& status = *model.boxStatus();
    std::vector<std::string> parts;
    if (status.gpuPercent) parts.push_back(percent("GPU", *status.gpuPercent));
    parts.push_back(percent("CPU", status.cpuPercent));
    if (status.temperatureC) {
        const auto degrees = LoadFigure::celsius(*status.temperatureC);
        parts.push_back((degrees ? std::to_string(*degrees) : std::string("-")) + " \u00B0C");
    }
    std::string text;
    for (const auto& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text;
}

bool stillScreenHint(const StatsOverlay& model) {
    // Half the target: 30 without stream facts, as the target is then 60.
    return model.fps() && model.fpsHistory().size() >= 3 && *model.fps() < model.targetFPS() / 2.0;
}

QRectF graphRect(const StatsOverlay& model) {
    return QRectF(padding, padding + StatsHeadline::height() + spacing, cardWidth(model) - 2 * padding, graphHeight);
}

QSizeF size(const StatsOverlay& model) {
    double height = gridTop() + gridHeight(model);
    if (stillScreenHint(model)) height += spacing + hintRect(0).height();
    return QSizeF(cardWidth(model), std::ceil(height + padding));
}

void paint(QPainter& painter, const StatsOverlay& model) {
    painter.save();
    StatsHeadline::paint(painter, QPointF(padding, padding), model);
    const QRectF graph = graphRect(model);
    FPSGraph::paint(painter, graph, model.fpsHistory(), model.targetFPS());
    painter.fillRect(QRectF(padding, graph.bottom() + spacing, graph.width(), 1), OverlayStyle::border);

    const QFont font = rowFont();
    const QFontMetricsF metrics(font);
    painter.setFont(font);
    const auto list = rows(model);
    const double valueX = padding + labelColumn() + columnSpacing;
    const double lineHeight = std::ceil(metrics.height());
    double y = gridTop();
    for (const auto& row : list) {
        const double baseline = y + metrics.ascent();
        painter.setPen(OverlayStyle::muted);
        painter.drawText(QPointF(padding, baseline), QString::fromStdString(row.first));
        painter.setPen(Qt::white);
        painter.drawText(QPointF(valueX, baseline), QString::fromStdString(row.second));
        y += lineHeight + rowSpacing;
    }
    if (stillScreenHint(model)) {
        painter.setFont(hintFont());
        painter.setPen(OverlayStyle::muted);
        painter.drawText(hintRect(gridTop() + gridHeight(model) + spacing), Qt::TextWordWrap,
                         QString::fromUtf8(hintText));
    }
    painter.restore();
}

}  // namespace corvane::StatsCard
