#include "app/window/WindowHints.hpp"

#include <QGuiApplication>
#include <QWidget>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace corvane {

void fixAspectRatio(QWidget& window, int width, int height) {
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
    XSetWMNormalHints(display, id, &hints);
    XFlush(display);
}

}  // namespace corvane
