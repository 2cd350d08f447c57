#include "app/ui/BoxStatusCard.hpp"

#include "app/ui/ElidedLabel.hpp"
#include "app/ui/PlainText.hpp"
#include "app/ui/TextStyle.hpp"
#include "app/ui/Tint.hpp"
#include "app/window/LoadFigure.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace corvane {
namespace {

constexpr double kGiB = 1073741824.0;

// Halves away from zero; none when the result leaves the 64-bit range (or is not a number).
std::optional<long long> rounded(double value) {
    const double r = std::round(value);
    if (!std::isfinite(r) || r >= 9.2e18 || r <= -9.2e18) return std::nullopt;
    return static_cast<long long>(r);
}

std::string wholeOrDash(double value, const char* suffix) {
    const auto r = rounded(value);
    return r ? std::to_string(*r) + suffix : std::string("-");
}

// A processor or graphics load reads as it does in the overlay.
BoxStatusCard::Tile loadTile(const char* label, double load) {
    return {label, LoadFigure::text(load), LoadFigure::fill(load)};
}

} // namespace

BoxStatusCard::BoxStatusCard(QWidget* parent) : Card(Look::Fill::card, false, parent) {
    setObjectName("boxStatusCard");
    // The bars' colours are the named tints of the palette in force.
    Look::onChange(this, [this] {
        if (shown_) show(*shown_);
    });
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(10);
    tileRow_ = new QWidget(this);
    auto* row = new QHBoxLayout(tileRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    column->addWidget(tileRow_);
    footer_ = new ElidedLabel(Qt::ElideMiddle, this);
    setTextStyle(footer_, TextStyle::caption);
    setSecondary(footer_);
    column->addWidget(footer_);
}

void BoxStatusCard::show(const AgentClient::BoxStatus& status) {
    shown_ = status;
    const std::vector<Tile> shown = tiles(status);
    auto* row = static_cast<QHBoxLayout*>(tileRow_->layout());
    // Tiles are built again only when which tiles show changes; otherwise each takes its values in place,
    // so a load that stayed the same repaints nothing.
    bool same = row->count() == static_cast<int>(shown.size());
    for (int i = 0; same && i < row->count(); ++i)
        same = row->itemAt(i)->widget()->findChild<QLabel*>("label")->text() == QString::fromStdString(shown[i].label);
    if (!same) {
        while (auto* item = row->takeAt(0)) {
            delete item->widget();
            delete item;
        }
        for (const Tile& tile : shown) {
            auto* box = new QWidget(tileRow_);
            auto* column = new QVBoxLayout(box);
            column->setContentsMargins(0, 0, 0, 0);
            column->setSpacing(4);
            auto* label = PlainText::label(box, QString::fromStdString(tile.label));
            label->setObjectName("label");
            setTextStyle(label, TextStyle::caption);
            setSecondary(label);
            column->addWidget(label);
            // A figure keeps the card's text size: one wider than its tile takes a second line.
            auto* value = PlainText::label(box);
            value->setObjectName("value");
            value->setWordWrap(true);
            QSizePolicy shared(QSizePolicy::Ignored, QSizePolicy::Preferred);
            shared.setHeightForWidth(true);
            value->setSizePolicy(shared);
            setTextStyle(value, TextStyle::callout, QFont::DemiBold);
            column->addWidget(value);
            column->addStretch(1);  // the bars line up below a figure of two lines
            auto* bar = new QProgressBar(box);
            bar->setRange(0, 1000);
            bar->setTextVisible(false);
            bar->setMaximumHeight(6);
            bar->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);  // the tiles share the width, whatever it is
            column->addWidget(bar);
            row->addWidget(box, 1);
            box->show();  // now, not when the layout would get to it: the window measures it as it fits
        }
    }
    for (int i = 0; i < row->count(); ++i) {
        const Tile& tile = shown[i];
        QWidget* box = row->itemAt(i)->widget();
        box->findChild<QLabel*>("value")->setText(QString::fromStdString(tile.value));
        auto* bar = box->findChild<QProgressBar*>();
        const double fill = std::isnan(tile.fraction) ? 0 : std::clamp(tile.fraction, 0.0, 1.0);
        bar->setValue(static_cast<int>(std::lround(fill * 1000)));
        const QColor tint = tintColor(tile.fraction > 0.9 ? Tint::orange : Tint::accent);
        if (bar->palette().color(QPalette::Highlight) != tint) {
            QPalette palette = bar->palette();
            palette.setColor(QPalette::Highlight, tint);
            bar->setPalette(palette);
        }
    }
    const QString text = PlainText::cut(footer(status), 200);
    footer_->setWholeText(text);
}

std::vector<BoxStatusCard::Tile> BoxStatusCard::tiles(const AgentClient::BoxStatus& status) {
    std::vector<Tile> result;
    if (status.gpuPercent) result.push_back(loadTile("Graphics", *status.gpuPercent));
    result.push_back(loadTile("Processor", status.cpuPercent));
    // More in use than there is reads "-" over an empty bar, as a load that cannot be does.
    if (!LoadFigure::withinTotal(status.memoryUsed, status.memoryTotal)) {
        result.push_back({"Memory", "-", 0});
    } else {
        char used[48];
        std::snprintf(used, sizeof used, "%.1f GB", static_cast<double>(status.memoryUsed) / kGiB);
        result.push_back({"Memory", used + std::string(" of ") + wholeOrDash(static_cast<double>(status.memoryTotal) / kGiB, " GB"),
                          status.memoryTotal == 0 ? 0
                                                  : static_cast<double>(status.memoryUsed) / static_cast<double>(status.memoryTotal)});
    }
    if (!LoadFigure::withinTotal(status.diskFree, status.diskTotal))
        result.push_back({"Storage", "-", 0});
    else
        result.push_back({"Storage", wholeOrDash(static_cast<double>(status.diskFree) / kGiB, " GB") + " free",
                          status.diskTotal == 0 ? 0
                                                : 1 - static_cast<double>(status.diskFree) / static_cast<double>(status.diskTotal)});
    return result;
}

std::string BoxStatusCard::footer(const AgentClient::BoxStatus& status) {
    std::vector<std::string> parts;
    if (status.gpuName && !status.gpuName->empty()) parts.push_back(*status.gpuName);
    if (status.temperatureC) {
        const auto degrees = LoadFigure::celsius(*status.temperatureC);
        parts.push_back(degrees ? std::to_string(*degrees) + "\u00b0C" : std::string("-"));
    }
    parts.push_back("on for " + duration(status.uptimeSeconds));
    std::string result;
    for (const auto& part : parts) result += (result.empty() ? "" : "  \u00b7  ") + part;
    return result;
}

std::string BoxStatusCard::duration(std::uint64_t seconds) {
    if (seconds >= 172800) return std::to_string(seconds / 86400) + " days";
    const std::uint64_t minutes = (seconds % 3600) / 60;
    if (seconds >= 3600) return std::to_string(seconds / 3600) + " h " + std::to_string(minutes) + " min";
    return std::to_string(minutes) + " min";
}

} // namespace corvane
