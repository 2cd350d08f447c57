#include "app/window/Desktops.hpp"

#include <QGuiApplication>
#include <QWidget>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace corvane::Desktops {

namespace {

Display* display() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

std::optional<std::int64_t> cardinal(Display* dpy, Window window, const char* name) {
    const Atom atom = XInternAtom(dpy, name, True);
    if (atom == None) return std::nullopt;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<std::int64_t> value;
    if (XGetWindowProperty(dpy, window, atom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
            Success &&
        type == XA_CARDINAL && format == 32 && count == 1 && data)
        value = static_cast<std::int64_t>(*reinterpret_cast<unsigned long*>(data));
    if (data) XFree(data);
    return value;
}

}  // namespace

std::optional<std::int64_t> current() {
    Display* dpy = display();
    if (!dpy) return std::nullopt;
    return cardinal(dpy, DefaultRootWindow(dpy), "_NET_CURRENT_DESKTOP");
}

bool isOnCurrent(const QWidget& window) {
    Display* dpy = display();
    if (!dpy) return true;
    const auto desktop = cardinal(dpy, DefaultRootWindow(dpy), "_NET_CURRENT_DESKTOP");
    const auto own = cardinal(dpy, static_cast<Window>(window.winId()), "_NET_WM_DESKTOP");
    if (!desktop || !own) return true;
    return *own == 0xFFFFFFFF || *own == *desktop;
}

}  // namespace corvane::Desktops
