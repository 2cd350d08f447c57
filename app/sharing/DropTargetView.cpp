#include "app/sharing/DropTargetView.hpp"

#include "engine/view/StreamView.hpp"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetricsF>
#include <QMimeData>
#include <QPainter>
#include <QWidget>

#include <cmath>

namespace corvane {

namespace {

const QString kLabel = QStringLiteral("Drop to copy to Windows");
constexpr double kTint = 0.22;  // of the accent colour, over the whole window
constexpr double kBorder = 3;
constexpr double kRadius = 10;
constexpr double kLabelShade = 0.6;  // of black, behind the label's text
constexpr double kLabelRadius = 8;
constexpr int kLabelPadX = 14;
constexpr int kLabelPadY = 8;

QFont labelFont() {
    QFont font;
    font.setPixelSize(20);
    font.setWeight(QFont::DemiBold);
    return font;
}

} // namespace

DropTargetView::DropTargetView(QWidget& window, QObject* parent) : QObject(parent), window_(&window) {}

DropTargetView::~DropTargetView() { hideLook(); }

void DropTargetView::setHighlighted(bool on) {
    if (highlighted_ == on) return;
    highlighted_ = on;
    if (on)
        showLook();
    else
        hideLook();
}

void DropTargetView::relayout() {
    if (highlighted_) showLook();
}

QRect DropTargetView::labelRect(QSize size) {
    const QFontMetricsF metrics(labelFont());
    const int width = static_cast<int>(std::ceil(metrics.horizontalAdvance(kLabel))) + 2 * kLabelPadX;
    const int height = static_cast<int>(std::ceil(metrics.height())) + 2 * kLabelPadY;
    return QRect((size.width() - width) / 2, (size.height() - height) / 2, width, height);
}

QImage DropTargetView::look(QSize size, double ratio, const QColor& accent) {
    const QSize pixels(static_cast<int>(std::lround(size.width() * ratio)), static_cast<int>(std::lround(size.height() * ratio)));
    // In the layout the view's textures take: handed over without a copy.
    QImage image(pixels, QImage::Format_RGBA8888_Premultiplied);
    if (image.isNull()) return image;
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QColor tint = accent;
    tint.setAlphaF(static_cast<float>(kTint));
    // The border lies inside the window's edge; tint and border share its rounded outline.
    p.setBrush(tint);
    p.setPen(QPen(accent, kBorder));
    const double inset = kBorder / 2;
    p.drawRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)).adjusted(inset, inset, -inset, -inset), kRadius, kRadius);
    const QRect label = labelRect(size);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor::fromRgbF(0, 0, 0, static_cast<float>(kLabelShade)));
    p.drawRoundedRect(QRectF(label), kLabelRadius, kLabelRadius);
    p.setPen(Qt::white);
    p.setFont(labelFont());
    p.drawText(label, Qt::AlignCenter, kLabel);
    return image;
}

void DropTargetView::showLook() {
    if (!window_) return;
    auto* view = window_->findChild<stream::StreamView*>();
    if (shownOn_ && shownOn_ != view) shownOn_->setOverlay(QImage(), QRect());
    shownOn_ = view;
    if (!view) return;
    // Over the whole window, wherever the view lies in it.
    const QRect area(view->mapFrom(window_.data(), QPoint(0, 0)), window_->size());
    const QColor accent = window_->palette().color(QPalette::Highlight);
    view->setOverlay(look(window_->size(), view->devicePixelRatioF(), accent), area);
}

void DropTargetView::hideLook() {
    if (shownOn_) shownOn_->setOverlay(QImage(), QRect());
    shownOn_ = nullptr;
}

void DropTargetView::dragEnter(QDragEnterEvent& event) {
    setHighlighted(true);
    event.setDropAction(Qt::CopyAction);
    event.accept();
}

void DropTargetView::dragMove(QDragMoveEvent& event) {
    // A drag that came in before the target was up enters with its first move here.
    setHighlighted(true);
    event.setDropAction(Qt::CopyAction);
    event.accept();
}

void DropTargetView::dragLeave() {
    setHighlighted(false);
    if (onLeave) onLeave();
}

void DropTargetView::drop(QDropEvent& event) {
    setHighlighted(false);
    const QMimeData* data = event.mimeData();
    if (data && onDrop && onDrop(*data)) {
        event.setDropAction(Qt::CopyAction);
        event.accept();
    } else {
        event.ignore();
    }
}

} // namespace corvane
