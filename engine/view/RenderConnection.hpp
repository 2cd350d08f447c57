#pragma once

#include <memory>

#include <QWindow>
#include <qopengl.h>

class QOpenGLContext;

namespace corvane::stream {

// The view's render thread's own X connection, with a GLX context on it that draws into the surface's
// window by its id (window ids are the X server's, not a connection's). Every swap of a software rasteriser
// makes Xlib calls that wait for replies, and on Qt's connection the main thread meanwhile hands events to
// Xlib under a lock those replies do not wait for: Xlib then reads an event as older than the reply it just
// read and warns of lost sequence numbers. On a connection of its own the render thread shares nothing with
// Qt's. The Qt context it stands in for stays Qt's current context on the render thread, so Qt's GL helpers
// keep working: the functions they resolved reach whichever context is current on the thread.
//
// A connection outlives the window it draws into: RenderConnectionPool keeps it for the next view. One
// thread at a time uses its context, and lets go of it (release()) before another takes it.
class RenderConnection {
public:
    // Why open() made none.
    enum class Refusal {
        windowGone,   // the X server has no such window (any more): another window may still be drawn into
        unavailable,  // Qt's context is not GLX on X11 (the offscreen platform, EGL), or none could be made
    };
    // A connection and context drawing like `qtContext` (current on this thread) into `window`, current
    // there; null, saying why in `refusal` when given, where none can.
    static std::unique_ptr<RenderConnection> open(const QOpenGLContext& qtContext, WId window,
                                                  Refusal* refusal = nullptr);
    ~RenderConnection();
    RenderConnection(const RenderConnection&) = delete;
    RenderConnection& operator=(const RenderConnection&) = delete;

    // Whether it draws like `qtContext` into windows like `window`: the same X display, screen, visual and
    // format.
    bool suits(const QOpenGLContext& qtContext, WId window) const;

    // Sends nothing while the context is already current on `window`.
    bool makeCurrent(WId window);
    void swapBuffers();
    // Lets go of the window, which may go now: the context stays current on this thread, drawing nowhere, so
    // what was made in it can still be deleted.
    bool leaveWindow();
    // Nothing is current on this thread any more; the connection may pass to another thread.
    void release();

    // The end of an upload of the sharing context, for this one to wait on; null where the GL has no fences.
    using Fence = GLsync;
    // Render thread: what this context issues from now on runs only once the commands before `fence` are
    // complete (waited for on the GL's side: the thread goes on at once); the fence is deleted. Nothing for
    // a null fence. True once the wait was issued.
    bool waitFor(Fence fence);

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
        // Hands what this thread wrote to the GL to the other context: sends it and returns a fence after it,
        // which the other waits on (waitFor). Without fences, returns null once all of it is complete.
        Fence fence();
        // Deletes a fence nobody will wait on.
        void discard(Fence fence);

    private:
        friend class RenderConnection;
        struct Native;
        explicit SharingContext(std::unique_ptr<Native> native);
        std::unique_ptr<Native> native_;
    };
    // The connection's one sharing context, made at the first call and kept with it; null where the GL
    // library cannot make one. One thread at a time uses it.
    SharingContext* sharingContext();

private:
    struct Native;
    explicit RenderConnection(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
    std::unique_ptr<SharingContext> sharing_;
    bool sharingTried_ = false;
};

}  // namespace corvane::stream
