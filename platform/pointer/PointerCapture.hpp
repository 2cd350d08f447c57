#pragma once

#include <functional>
#include <memory>

class QWidget;

namespace corvane::platform {

// Takes the pointer and the keyboard for one window on X11, and reports relative motion while it holds them.
//
// The pointer is grabbed to the widget's top-level window, confined to it and hidden; the keyboard is
// grabbed to the same window. Motion comes from XInput2 raw events on a connection of our own: raw events
// carry the device's own deltas, so they keep flowing at the screen's edge and a pointer warp never echoes
// into them. Devices with absolute axes (tablets) give positions, not deltas, and are ignored. On release
// the pointer goes back to where it was when the capture began, as if it had never moved.
//
// Main thread only; motion is delivered from the main thread's event loop.
class PointerCapture final {
public:
    using MotionHandler = std::function<void(double dx, double dy)>;

    // capture()'s result when there is no X11 display (another Qt platform).
    static constexpr int noDisplay = -1;

    PointerCapture();
    ~PointerCapture();
    PointerCapture(const PointerCapture&) = delete;
    PointerCapture& operator=(const PointerCapture&) = delete;

    // Returns 0 when both grabs succeeded; otherwise the X grab status of the first that failed
    // (1 already grabbed, 2 invalid time, 3 not viewable, 4 frozen) or noDisplay. Whatever the result the
    // capture counts as active until release(), and motion is reported when raw events can be had.
    int capture(QWidget& widget, MotionHandler onMotion);
    void release();
    bool active() const { return active_; }

private:
    struct X11;
    std::unique_ptr<X11> x11_;
    bool active_ = false;
};

}  // namespace corvane::platform
