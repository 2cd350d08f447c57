#include "platform/selection/SelectionWatch.hpp"

#include <QGuiApplication>
#include <QSocketNotifier>

#include <vector>

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

namespace corvane::platform {

struct SelectionWatch::X11 {
    Display* display = nullptr;
    int fixesEvent = 0;
    std::unique_ptr<QSocketNotifier> notifier;

    ~X11() {
        notifier.reset();
        if (display) XCloseDisplay(display);
    }
};

SelectionWatch::SelectionWatch(const std::string& name, bool perScreen, QObject* parent)
    : QObject(parent), x11_(std::make_unique<X11>()) {
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
    const std::string selectionName = perScreen ? name + std::to_string(DefaultScreen(display)) : name;
    const Atom selection = XInternAtom(display, selectionName.c_str(), False);
    XFixesSelectSelectionInput(display, DefaultRootWindow(display), selection,
                               XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    owned_ = XGetSelectionOwner(display, selection) != None;
    x11_->notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(display), QSocketNotifier::Read);
    connect(x11_->notifier.get(), &QSocketNotifier::activated, this, [this] { drain(); });
    // Reports that came with the reply above wait in Xlib's queue, where the socket no longer shows them;
    // they go out once the owner has connected to them.
    QMetaObject::invokeMethod(this, &SelectionWatch::drain, Qt::QueuedConnection);
}

SelectionWatch::~SelectionWatch() = default;

bool SelectionWatch::available() const { return x11_->display != nullptr; }

_XDisplay* SelectionWatch::display() const { return x11_->display; }

void SelectionWatch::drain() {
    Display* display = x11_->display;
    // Read to the end first: a receiver may ask this connection something, which reads on.
    std::vector<bool> reports;
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type != x11_->fixesEvent + XFixesSelectionNotify) continue;
        const auto* notice = reinterpret_cast<const XFixesSelectionNotifyEvent*>(&event);
        reports.push_back(notice->subtype == XFixesSetSelectionOwnerNotify && notice->owner != None);
    }
    for (const bool owned : reports) {
        owned_ = owned;
        Q_EMIT ownerChanged(owned);
    }
}

} // namespace corvane::platform
