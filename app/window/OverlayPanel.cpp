#include "app/window/OverlayPanel.hpp"

#include <vector>

#include <QPainter>
#include <QPainterPath>
#include <QVariant>
#include <QWidget>
#include <QWindow>

#include "engine/view/StreamView.hpp"

namespace corvane::OverlayPanel {

namespace {

QRegion outline(QSize size, double radius) {
    if (radius <= 0) return QRegion();
    QPainterPath shape;
    shape.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), radius, radius);
    return QRegion(shape.toFillPolygon().toPolygon());
}

constexpr const char* kOnTop = "corvaneOverlayOnTop";

bool onTop(const QWidget& panel) { return panel.property(kOnTop).toBool(); }

stream::StreamView* viewBeneath(QWidget& panel) {
    for (QWidget* parent = panel.parentWidget(); parent; parent = parent->parentWidget())
        if (auto* view = qobject_cast<stream::StreamView*>(parent)) return view;
    return panel.window() ? panel.window()->findChild<stream::StreamView*>() : nullptr;
}

}  // namespace

void placeOverPicture(QWidget& panel, double radius) {
    Q_ASSERT(!panel.testAttribute(Qt::WA_TranslucentBackground));
    if (!panel.testAttribute(Qt::WA_NativeWindow)) panel.setAttribute(Qt::WA_NativeWindow);
    // Its window's input shape is emptied, so X hands the pointer to the window beneath, the stream view's.
    // That is the window's flag: taken from the widget's flags as the window is made (the attribute alone
    // does not reach it), and set on a window made before.
    panel.setAttribute(Qt::WA_TransparentForMouseEvents);
    panel.setWindowFlag(Qt::WindowTransparentForInput);
    if (QWindow* window = panel.windowHandle();
        window && window->handle() && !window->flags().testFlag(Qt::WindowTransparentForInput))
        window->setFlag(Qt::WindowTransparentForInput);
    const QRegion mask = outline(panel.size(), radius);
    if (mask != panel.mask()) {
        if (mask.isEmpty())
            panel.clearMask();
        else
            panel.setMask(mask);
    }
    raise(panel);
}

void keepOnTop(QWidget& panel) {
    panel.setProperty(kOnTop, true);
    raise(panel);
}

void raise(QWidget& panel) {
    QWidget* parent = panel.parentWidget();
    if (!parent) return;
    // Made here, if not yet: a native window is stacked on top of its siblings when it is made, and made at
    // its first show otherwise, which would put it over a panel kept on top behind this one's back.
    if (parent->testAttribute(Qt::WA_WState_Created)) static_cast<void>(panel.winId());
    if (onTop(panel)) {
        panel.raise();
        return;
    }
    // The parent's children list is its stacking order, bottom first (QWidget::raise keeps it so).
    bool seen = false, placed = true;
    std::vector<QWidget*> tops;
    for (QObject* child : parent->children()) {
        auto* sibling = qobject_cast<QWidget*>(child);
        if (!sibling || sibling->isWindow()) continue;
        if (sibling == &panel) {
            seen = true;
        } else if (onTop(*sibling)) {
            tops.push_back(sibling);
            placed = placed && seen;
        } else {
            placed = placed && !seen;
        }
    }
    if (placed) return;
    panel.raise();
    for (QWidget* top : tops) top->raise();
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
