#pragma once

// The shared virtual display with a real window manager (openbox) and one QApplication per test program, the
// application's XDG folders in a folder of the program's own, and helpers to read the app log and to look
// at the X server as a second client.

#include <csignal>
#include <memory>
#include <string>
#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include "app/services/Folders.hpp"
#include "app/services/Log.hpp"
#include "tests/support/OwnedProcess.hpp"
#include "tests/support/TestSupport.hpp"
#include "tests/support/GuiEnvironment.hpp"

namespace corvane::test {

// Openbox on the shared display, started with the application, ended with the program.
class WindowEnvironment : public ::testing::Environment {
public:
    static QApplication& ensure();
    void TearDown() override { openbox.reset(); }

private:
    std::unique_ptr<TempDir> home;
    std::unique_ptr<OwnedProcess> openbox;
};

inline WindowEnvironment* const windowEnvironment =
    static_cast<WindowEnvironment*>(::testing::AddGlobalTestEnvironment(new WindowEnvironment));

inline QApplication& WindowEnvironment::ensure() {
    WindowEnvironment& env = *windowEnvironment;
    if (!env.home) {
        env.home = std::make_unique<TempDir>();
        for (const char* variable : {"XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            setenv(variable, (env.home->path() / variable).c_str(), 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        GuiEnvironment::ensure();
        env.openbox = std::make_unique<OwnedProcess>("openbox --sm-disable");
        // Until openbox manages the screen (generously: a loaded machine starts it slowly).
        for (int i = 0; i < 600 && runCommand("wmctrl -m >/dev/null 2>&1").status != 0; ++i) usleep(50000);
    }
    return GuiEnvironment::ensure();
}

inline std::size_t logMark = 0;

// The app log since the last markLog(), every queued line written.
inline std::string appLog() {
    Log::flush();
    const std::string all = readWhole(Folders::logs() / "Corvane.log");
    return logMark <= all.size() ? all.substr(logMark) : all;
}
inline void markLog() { logMark = 0, logMark = appLog().size(); }
inline bool logHas(const std::string& line) { return appLog().find(" " + line + "\n") != std::string::npos; }
inline bool logHasPrefix(const std::string& start) { return appLog().find(" " + start) != std::string::npos; }
// Lines starting with `start`.
inline std::size_t logCount(const std::string& start) {
    const std::string text = appLog();
    std::size_t count = 0;
    for (auto at = text.find(" " + start); at != std::string::npos; at = text.find(" " + start, at + 1)) ++count;
    return count;
}

}  // namespace corvane::test

// Last: Xlib's macros (None, Bool, Status, ...) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XI2.h>
#include <xcb/xcb.h>
#include <cstdint>
#include <cstring>

namespace corvane::test {

// Whether another client holds the pointer (or keyboard): a second connection tries to grab it itself.
inline bool grabbedElsewhere(bool keyboard) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    const ::Window root = DefaultRootWindow(display);
    const int status = keyboard ? XGrabKeyboard(display, root, False, GrabModeAsync, GrabModeAsync, CurrentTime)
                                : XGrabPointer(display, root, False, ButtonPressMask, GrabModeAsync, GrabModeAsync,
                                               None, None, CurrentTime);
    if (status == GrabSuccess) keyboard ? XUngrabKeyboard(display, CurrentTime) : XUngrabPointer(display, CurrentTime);
    XCloseDisplay(display);
    return status == AlreadyGrabbed;
}
inline bool pointerGrabbedElsewhere() { return grabbedElsewhere(false); }
inline bool keyboardGrabbedElsewhere() { return grabbedElsewhere(true); }

// Whether the window manager stacks window `upper` above window `lower` (its _NET_CLIENT_LIST_STACKING, bottom
// to top); false while either is not in the list.
inline bool stackedAbove(unsigned long upper, unsigned long lower) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    long up = -1, low = -1;
    if (XGetWindowProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_CLIENT_LIST_STACKING", False),
                           0, 4096, False, XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
        data && format == 32) {
        const auto* ids = reinterpret_cast<const unsigned long*>(data);  // 32-bit items come as longs
        for (unsigned long i = 0; i < count; ++i) {
            if (ids[i] == upper) up = static_cast<long>(i);
            if (ids[i] == lower) low = static_cast<long>(i);
        }
    }
    if (data) XFree(data);
    XCloseDisplay(display);
    return up >= 0 && low >= 0 && up > low;
}

// Counts the pointer button releases the app has read from the X server for `window`, whatever it then does
// with them (a window a modal dialog blocks takes none): once one is counted, the press before it was handled.
class ButtonReleases final : public QAbstractNativeEventFilter {
public:
    explicit ButtonReleases(unsigned long window) : window_(window) {
        if (Display* display = XOpenDisplay(nullptr)) {
            int firstEvent = 0, firstError = 0;
            XQueryExtension(display, "XInputExtension", &inputOpcode_, &firstEvent, &firstError);
            XCloseDisplay(display);
        }
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~ButtonReleases() override { QCoreApplication::instance()->removeNativeEventFilter(this); }
    int count() const { return count_; }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        const auto* event = static_cast<const xcb_ge_generic_event_t*>(message);
        if (type != "xcb_generic_event_t" || (event->response_type & 0x7f) != XCB_GE_GENERIC ||
            event->extension != inputOpcode_ || event->event_type != XI_ButtonRelease)
            return false;
        // After the type: device, time, button and root window, then the window the release went to.
        std::uint32_t to = 0;
        std::memcpy(&to, static_cast<const char*>(message) + 24, sizeof to);
        count_ += to == window_;
        return false;
    }

private:
    unsigned long window_;
    int inputOpcode_ = -1;
    int count_ = 0;
};

}  // namespace corvane::test

#undef None
#undef Bool
#undef Status
#undef True
#undef False
#undef Success
#undef Always
#undef CurrentTime
