#pragma once

#include <functional>

#include <QWindow>

namespace corvane::stream {

// The window the stream view draws its picture in: a native child window of the view's own window with an
// OpenGL surface of its own, so a frame goes from the draw straight to the screen, with no offscreen buffer
// and no compose of the whole window in between. It takes no input and never the focus: the X server hands
// every click, motion and key to the view's window beneath, so the view's input side sees them as before.
// The view's render thread draws into it; the window itself lives on the main thread, where it is made,
// shown, moved and destroyed.
class StreamSurface final : public QWindow {
    Q_OBJECT

public:
    explicit StreamSurface(QWindow* parent);
    ~StreamSurface() override;

    // A native window is there to draw into, and not on its way out.
    bool drawable() const { return handle() && !going_; }

    // Called whenever the window system shows (part of) the surface again, or hides it (isExposed() tells):
    // what it showed is gone.
    std::function<void()> onExposeChanged;
    // Called just before the native window goes (destroyed, or the surface deleted): whoever draws into it
    // lets go of it before returning.
    std::function<void()> onGoing;

protected:
    void exposeEvent(QExposeEvent* event) override;
    bool event(QEvent* event) override;

private:
    bool going_ = false;
};

}  // namespace corvane::stream
