#pragma once

#include <functional>

#include <QWindow>

namespace corvane::stream {

// The window the stream view draws its picture in: a native child window of the view's own window with an
// OpenGL surface of its own, so a frame goes from the draw straight to the screen, with no offscreen buffer
// and no compose of the whole window in between. It takes no input and never the focus: the X server hands
// every click, motion and key to the view's window beneath, so the view's input side sees them as before.
// Main thread only.
class StreamSurface final : public QWindow {
    Q_OBJECT

public:
    explicit StreamSurface(QWindow* parent);

    // Called whenever the window system shows (part of) the surface again: what it showed is gone.
    std::function<void()> onExposed;

protected:
    void exposeEvent(QExposeEvent* event) override;
};

}  // namespace corvane::stream
