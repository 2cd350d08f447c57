#include "app/window/WindowHints.hpp"

#include <QGuiApplication>
#include <QWidget>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace corvane {

void fixAspectRatio(QWidget& window, int width, int height, QSize content) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    if (!display || width <= 0 || height <= 0) return;
    const Window id = static_cast<Window>(window.winId());
    XSizeHints hints{};
    long supplied = 0;
    XGetWMNormalHints(display, id, &hints, &supplied);
    hints.flags |= PAspect;
    hints.min_aspect.x = hints.max_aspect.x = width;
    hints.min_aspect.y = hints.max_aspect.y = height;
    if (content.width() > 0 && content.height() > 0) {
        // Compared as cross products: no rounding.
        const bool narrower = static_cast<long long>(content.width()) * height < static_cast<long long>(width) * content.height();
        auto& bound = narrower ? hints.min_aspect : hints.max_aspect;
        bound.x = content.width();
        bound.y = content.height();
    }
    XSetWMNormalHints(display, id, &hints);
    XFlush(display);
}

}  // namespace corvane
