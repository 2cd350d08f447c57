#include "platform/pointer/PointerCapture.hpp"

#include <map>
#include <string>

#include <QGuiApplication>
#include <QSocketNotifier>
#include <QWidget>

// Xlib after Qt: its macros (None, Bool, Status, ...) would break Qt's headers.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace corvane::platform {

struct PointerCapture::X11 {
    // Qt's own connection: grabs must come from the client that owns the window, so that Qt keeps getting
    // the window's button and key events while they are grabbed.
    Display* display = nullptr;
    Cursor blankCursor = 0;
    int savedX = 0;
    int savedY = 0;
    bool savedValid = false;

    // A connection of our own for raw motion, read on the main loop through a socket notifier.
    Display* raw = nullptr;
    int xiOpcode = 0;
    std::unique_ptr<QSocketNotifier> notifier;
    std::map<int, bool> absoluteSource;  // source device id -> its X axis reports positions
    MotionHandler onMotion;

    bool isAbsolute(int sourceId) {
        auto found = absoluteSource.find(sourceId);
        if (found != absoluteSource.end()) return found->second;
        bool absolute = false;
        int count = 0;
        if (XIDeviceInfo* info = XIQueryDevice(raw, sourceId, &count)) {
            for (int d = 0; d < count; ++d)
                for (int c = 0; c < info[d].num_classes; ++c) {
                    if (info[d].classes[c]->type != XIValuatorClass) continue;
                    auto* valuator = reinterpret_cast<XIValuatorClassInfo*>(info[d].classes[c]);
                    if (valuator->number == 0) absolute = valuator->mode == XIModeAbsolute;
                }
            XIFreeDeviceInfo(info);
        }
        absoluteSource.emplace(sourceId, absolute);
        return absolute;
    }

    void drain() {
        // Xlib may have read several events into its queue; take them all, not one per wake-up.
        while (raw && XPending(raw) > 0) {
            XEvent event;
            XNextEvent(raw, &event);
            XGenericEventCookie* cookie = &event.xcookie;
            if (cookie->type != GenericEvent || cookie->extension != xiOpcode) continue;
            if (!XGetEventData(raw, cookie)) continue;
            if (cookie->evtype == XI_RawMotion) {
                const auto* motion = static_cast<const XIRawEvent*>(cookie->data);
                double dx = 0;
                double dy = 0;
                // Values are packed: one per set bit of the mask, axis 0 is x and axis 1 is y.
                int index = 0;
                const int axes = motion->valuators.mask_len * 8;
                for (int axis = 0; axis < axes && axis < 2; ++axis) {
                    if (!XIMaskIsSet(motion->valuators.mask, axis)) continue;
                    (axis == 0 ? dx : dy) = motion->valuators.values[index++];
                }
                const bool usable = !isAbsolute(motion->sourceid);
                XFreeEventData(raw, cookie);
                if (usable && (dx != 0 || dy != 0) && onMotion) onMotion(dx, dy);
                continue;
            }
            XFreeEventData(raw, cookie);
        }
    }

    void openRaw() {
        raw = XOpenDisplay(DisplayString(display));
        if (!raw) return;
        int event = 0;
        int error = 0;
        int major = 2;
        int minor = 2;
        // Raw events reach clients other than the grabbing one only from XInput 2.1 on.
        if (!XQueryExtension(raw, "XInputExtension", &xiOpcode, &event, &error) ||
            XIQueryVersion(raw, &major, &minor) != Success || (major == 2 && minor < 1)) {
            XCloseDisplay(raw);
            raw = nullptr;
            return;
        }
        unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(mask, XI_RawMotion);
        XIEventMask selection{XIAllMasterDevices, sizeof mask, mask};
        XISelectEvents(raw, DefaultRootWindow(raw), &selection, 1);
        XFlush(raw);
        notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(raw), QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
        drain();
    }

    void closeRaw() {
        notifier.reset();
        if (raw) XCloseDisplay(raw);
        raw = nullptr;
        absoluteSource.clear();
    }
};

PointerCapture::PointerCapture() : x11_(std::make_unique<X11>()) {}

PointerCapture::~PointerCapture() { release(); }

int PointerCapture::capture(QWidget& widget, MotionHandler onMotion) {
    if (active_) return 0;
    active_ = true;
    auto* x11App = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11App ? x11App->display() : nullptr;
    if (!display) return noDisplay;

    X11& x = *x11_;
    x.display = display;
    x.onMotion = std::move(onMotion);
    const auto window = static_cast<Window>(widget.window()->winId());
    const Window root = DefaultRootWindow(display);

    Window rootReturn = 0;
    Window childReturn = 0;
    int winX = 0;
    int winY = 0;
    unsigned int buttons = 0;
    x.savedValid = XQueryPointer(display, root, &rootReturn, &childReturn, &x.savedX, &x.savedY, &winX, &winY,
                                 &buttons) == True;

    // An all-transparent cursor: hidden while the grab lasts, shown again by the ungrab.
    char empty[1] = {0};
    Pixmap pixmap = XCreateBitmapFromData(display, window, empty, 1, 1);
    XColor black{};
    x.blankCursor = XCreatePixmapCursor(display, pixmap, pixmap, &black, &black, 0, 0);
    XFreePixmap(display, pixmap);

    const unsigned int pointerEvents =
        ButtonPressMask | ButtonReleaseMask | PointerMotionMask | EnterWindowMask | LeaveWindowMask;
    const int pointerStatus = XGrabPointer(display, window, True, pointerEvents, GrabModeAsync, GrabModeAsync,
                                           window, x.blankCursor, CurrentTime);
    const int keyboardStatus = XGrabKeyboard(display, window, True, GrabModeAsync, GrabModeAsync, CurrentTime);
    XFlush(display);

    x.openRaw();
    return pointerStatus != GrabSuccess ? pointerStatus : keyboardStatus;
}

void PointerCapture::release() {
    if (!active_) return;
    active_ = false;
    X11& x = *x11_;
    x.closeRaw();
    x.onMotion = nullptr;
    if (!x.display) return;
    XUngrabPointer(x.display, CurrentTime);
    XUngrabKeyboard(x.display, CurrentTime);
    if (x.savedValid)
        XWarpPointer(x.display, 0, DefaultRootWindow(x.display), 0, 0, 0, 0, x.savedX, x.savedY);
    if (x.blankCursor) XFreeCursor(x.display, x.blankCursor);
    x.blankCursor = 0;
    XFlush(x.display);
    x.display = nullptr;
}

}  // namespace corvane::platform
