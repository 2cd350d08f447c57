#include "platform/dragwatch/DragWatch.hpp"

#include <QGuiApplication>
#include <QSocketNotifier>

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

namespace corvane::platform {

struct DragWatch::X11 {
    Display* display = nullptr;
    int fixesEvent = 0;
    std::unique_ptr<QSocketNotifier> notifier;

    ~X11() {
        notifier.reset();
        if (display) XCloseDisplay(display);
    }
};

DragWatch::DragWatch(QObject* parent) : QObject(parent), x11_(std::make_unique<X11>()) {
    if (QGuiApplication::platformName() != "xcb") return;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return;
    int error = 0;
    int major = 5;
    int minor = 0;
    // The server speaks XFixes to a client only after the client has said which version it knows.
    if (!XFixesQueryExtension(display, &x11_->fixesEvent, &error) || !XFixesQueryVersion(display, &major, &minor)) {
        XCloseDisplay(display);
        return;
    }
    x11_->display = display;
    const Atom selection = XInternAtom(display, "XdndSelection", False);
    XFixesSelectSelectionInput(display, DefaultRootWindow(display), selection, XFixesSetSelectionOwnerNotifyMask);
    XFlush(display);
    x11_->notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(display), QSocketNotifier::Read);
    connect(x11_->notifier.get(), &QSocketNotifier::activated, this, [this] { drain(); });
}

DragWatch::~DragWatch() = default;

bool DragWatch::available() const { return x11_->display != nullptr; }

void DragWatch::drain() {
    Display* display = x11_->display;
    int started = 0;
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type != x11_->fixesEvent + XFixesSelectionNotify) continue;
        const auto* notice = reinterpret_cast<const XFixesSelectionNotifyEvent*>(&event);
        if (notice->subtype == XFixesSetSelectionOwnerNotify && notice->owner != None) ++started;
    }
    for (; started > 0; --started) {
        ++count_;
        Q_EMIT dragStarted();
    }
}

bool DragWatch::leftButtonDown() const {
    Display* display = x11_->display;
    if (!display) return false;
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &mask)) return false;
    return (mask & Button1Mask) != 0;
}

} // namespace corvane::platform
