#include "app/window/SystemKeyTap.hpp"

#include <QGuiApplication>
#include <QWindow>

#include <X11/Xlib.h>

#include "app/services/Log.hpp"

namespace corvane {

namespace {

Display* display() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

}  // namespace

bool SystemKeyTap::start(QWidget& window) {
    if (running_) return true;
    window_ = &window;
    paused_ = false;
    running_ = true;
    if (!display() || (shouldHold() && !grab())) {
        Log::write("engine: could not start the keyboard tap for Mac shortcuts");
        running_ = false;
        window_.clear();
        return false;
    }
    // Another window or application activated: the keys are theirs until the stream window is active again.
    activation_ = QObject::connect(qGuiApp, &QGuiApplication::applicationStateChanged, &window, [this] { renew(); });
    focus_ = QObject::connect(qGuiApp, &QGuiApplication::focusWindowChanged, &window, [this] { renew(); });
    Log::write("engine: Mac shortcuts go to Windows (full screen)");
    return true;
}

void SystemKeyTap::stop() {
    const bool was = running_;
    running_ = false;
    paused_ = false;
    QObject::disconnect(activation_);
    QObject::disconnect(focus_);
    ungrab();
    window_.clear();
    if (was) Log::write("engine: Mac shortcuts back on the Mac");
}

void SystemKeyTap::setPaused(bool paused) {
    paused_ = paused;
    renew();
}

void SystemKeyTap::renew() {
    if (shouldHold())
        grab();
    else
        ungrab();
}

bool SystemKeyTap::shouldHold() const {
    return running_ && !paused_ && window_ && window_->isActiveWindow() &&
           QGuiApplication::applicationState() == Qt::ApplicationActive;
}

bool SystemKeyTap::grab() {
    Display* dpy = display();
    if (!dpy || !window_) return false;
    const int status = XGrabKeyboard(dpy, static_cast<Window>(window_->winId()), False, GrabModeAsync, GrabModeAsync,
                                     CurrentTime);
    XFlush(dpy);
    grabbed_ = status == GrabSuccess;
    return grabbed_;
}

void SystemKeyTap::ungrab() {
    if (!grabbed_) return;
    grabbed_ = false;
    if (Display* dpy = display()) {
        XUngrabKeyboard(dpy, CurrentTime);
        XFlush(dpy);
    }
}

}  // namespace corvane
