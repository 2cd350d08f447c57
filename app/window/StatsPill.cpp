#include "app/window/StatsPill.hpp"

#include <cmath>

#include <QPainter>
#include <QPainterPath>

#include "app/window/OverlayStyle.hpp"
#include "app/window/StatsCard.hpp"
#include "app/window/StatsHeadline.hpp"
#include "app/window/StatsOverlay.hpp"

namespace corvane {

namespace {

constexpr double horizontalPadding = 12;
constexpr double verticalPadding = 6;

}  // namespace

StatsPill::StatsPill(StatsOverlay& model) : model_(&model) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    connect(&model, &StatsOverlay::changed, this, [this] { update(); });
}

QSize StatsPill::fittingSize() const {
    if (!model_) return QSize(160, 30);
    const QSizeF size = model_->detailed()
                            ? StatsCard::size(*model_)
                            : StatsHeadline::size(*model_) + QSizeF(2 * horizontalPadding, 2 * verticalPadding);
    return QSize(static_cast<int>(std::ceil(size.width())), static_cast<int>(std::ceil(size.height())));
}

void StatsPill::paintEvent(QPaintEvent*) {
    if (!model_) return;
    QPainter painter(this);
    if (model_->detailed()) {
        StatsCard::paint(painter, *model_);
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF pill(QPointF(0, 0), QSizeF(fittingSize()));
    const double radius = pill.height() / 2;
    QPainterPath capsule;
    capsule.addRoundedRect(pill, radius, radius);
    painter.fillPath(capsule, OverlayStyle::background);
    painter.setPen(QPen(OverlayStyle::border, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(pill.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);
    StatsHeadline::paint(painter, QPointF(horizontalPadding, verticalPadding), *model_);
}

}  // namespace corvane
