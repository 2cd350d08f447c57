#include "app/window/StatsPill.hpp"

#include <cmath>

#include <QPainter>

#include "app/window/OverlayPanel.hpp"
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

double StatsPill::cornerRadius() const {
    return model_ && model_->detailed() ? StatsCard::cornerRadius : height() / 2.0;
}

bool StatsPill::event(QEvent* event) {
    if (event->type() == QEvent::ParentChange && parentWidget()) OverlayPanel::placeOverPicture(*this, cornerRadius());
    return QWidget::event(event);
}

void StatsPill::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (parentWidget()) OverlayPanel::placeOverPicture(*this, cornerRadius());
}

void StatsPill::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    draw(painter);
}

void StatsPill::draw(QPainter& painter) const {
    if (!model_) return;
    const QSize size = fittingSize();
    const bool card = model_->detailed();
    painter.drawImage(QPoint(0, 0), frame(size, card));
    if (card)
        StatsCard::paint(painter, *model_);
    else
        StatsHeadline::paint(painter, QPointF(horizontalPadding, verticalPadding), *model_);
}

const QImage& StatsPill::frame(QSize size, bool card) const {
    if (frame_.size() == size && frameIsCard_ == card) return frame_;
    frame_ = QImage(size, QImage::Format_ARGB32_Premultiplied);
    // Opaque to the edge: the outline's mask cuts the corners, and nothing beneath may blend in.
    frame_.fill(OverlayStyle::panel);
    frameIsCard_ = card;
    QPainter painter(&frame_);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds(QPointF(0, 0), QSizeF(size));
    const double radius = card ? StatsCard::cornerRadius : bounds.height() / 2;
    painter.setPen(QPen(OverlayStyle::border, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(bounds.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);
    return frame_;
}

}  // namespace corvane
