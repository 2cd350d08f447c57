#include "app/window/OverlayPanel.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QWidget>

#include "engine/view/StreamView.hpp"

namespace corvane::OverlayPanel {

namespace {

QRegion outline(QSize size, double radius) {
    if (radius <= 0) return QRegion();
    QPainterPath shape;
    shape.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), radius, radius);
    return QRegion(shape.toFillPolygon().toPolygon());
}

stream::StreamView* viewBeneath(QWidget& panel) {
    for (QWidget* parent = panel.parentWidget(); parent; parent = parent->parentWidget())
        if (auto* view = qobject_cast<stream::StreamView*>(parent)) return view;
    return panel.window() ? panel.window()->findChild<stream::StreamView*>() : nullptr;
}

}  // namespace

void placeOverPicture(QWidget& panel, double radius) {
    if (!panel.testAttribute(Qt::WA_NativeWindow)) {
        // A native child window asked to be translucent shows nothing at all on X without a compositor.
        panel.setAttribute(Qt::WA_TranslucentBackground, false);
        panel.setAttribute(Qt::WA_NativeWindow);
        // On a native window this empties its input shape: X hands the pointer to the window beneath.
        panel.setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    const QRegion mask = outline(panel.size(), radius);
    if (mask != panel.mask()) {
        if (mask.isEmpty())
            panel.clearMask();
        else
            panel.setMask(mask);
    }
    panel.raise();
}

bool fadeOverPicture(QWidget& panel, double seconds) {
    stream::StreamView* view = viewBeneath(panel);
    if (!view || !view->isVisible() || !panel.isVisible()) return false;
    QImage look = panel.grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (!panel.mask().isEmpty()) {
        // Only what the outline shows fades; the corners it cuts away stay clear.
        QImage clipped(look.size(), QImage::Format_ARGB32_Premultiplied);
        clipped.setDevicePixelRatio(look.devicePixelRatio());
        clipped.fill(Qt::transparent);
        QPainter painter(&clipped);
        painter.setClipRegion(panel.mask());
        painter.drawImage(QPoint(0, 0), look);
        painter.end();
        look = clipped;
    }
    // Both in the same window: their places there differ by plain arithmetic.
    const QPoint at = panel.mapTo(panel.window(), QPoint(0, 0)) - view->mapTo(view->window(), QPoint(0, 0));
    view->fadeAway(look, QRect(at, panel.size()), seconds);
    panel.hide();
    return true;
}

}  // namespace corvane::OverlayPanel
