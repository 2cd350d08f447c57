#pragma once

#include <memory>

#include <QWindow>

class QOpenGLContext;

namespace corvane::stream {

// The view's render thread's own X connection, with a GLX context on it that draws into the surface's
// window by its id (window ids are the X server's, not a connection's). Every swap of a software rasteriser
// makes Xlib calls that wait for replies, and on Qt's connection the main thread meanwhile hands events to
// Xlib under a lock those replies do not wait for: Xlib then reads an event as older than the reply it just
// read and warns of lost sequence numbers. On a connection of its own the render thread shares nothing with
// Qt's. The Qt context it stands in for stays Qt's current context on the render thread, so Qt's GL helpers
// keep working: the functions they resolved reach whichever context is current on the thread.
class RenderConnection {
public:
    // A connection and context drawing like `qtContext` (current on this thread) into `window`, current
    // there; null where Qt's context is not GLX on X11 (the offscreen platform, EGL) or none could be made.
    static std::unique_ptr<RenderConnection> open(const QOpenGLContext& qtContext, WId window);
    ~RenderConnection();
    RenderConnection(const RenderConnection&) = delete;
    RenderConnection& operator=(const RenderConnection&) = delete;

    // Sends nothing while the context is already current on `window`.
    bool makeCurrent(WId window);
    void swapBuffers();

    // A second context on this connection sharing the first's textures, for another thread: current there
    // with no drawable, it only fills textures.
    class SharingContext {
    public:
        ~SharingContext();
        SharingContext(const SharingContext&) = delete;
        SharingContext& operator=(const SharingContext&) = delete;
        // On the thread that uses it, and released there before it goes.
        bool makeCurrent();
        void release();
        // Hands what this thread wrote to the GL, for the other context to read.
        void flush();

    private:
        friend class RenderConnection;
        struct Native;
        explicit SharingContext(std::unique_ptr<Native> native);
        std::unique_ptr<Native> native_;
    };
    // Null where the GL library cannot make one.
    std::unique_ptr<SharingContext> sharingContext();

private:
    struct Native;
    explicit RenderConnection(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
};

}  // namespace corvane::stream
