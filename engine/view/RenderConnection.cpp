#include "engine/view/RenderConnection.hpp"

#include <string>
#include <utility>

#include <QGuiApplication>
#include <QOpenGLContext>

#include <GL/glx.h>
#include <X11/Xlib.h>

namespace corvane::stream {

namespace {

// The GL's fence functions, null where it has none (before 3.2 without ARB_sync).
struct FenceFunctions {
    PFNGLFENCESYNCPROC fenceSync = nullptr;
    PFNGLWAITSYNCPROC waitSync = nullptr;
    PFNGLDELETESYNCPROC deleteSync = nullptr;

    static FenceFunctions of(const QOpenGLContext& context) {
        if (context.format().version() < qMakePair(3, 2) && !context.hasExtension("GL_ARB_sync")) return {};
        const auto resolve = [](const char* name) {
            return glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name));
        };
        FenceFunctions functions{reinterpret_cast<PFNGLFENCESYNCPROC>(resolve("glFenceSync")),
                                 reinterpret_cast<PFNGLWAITSYNCPROC>(resolve("glWaitSync")),
                                 reinterpret_cast<PFNGLDELETESYNCPROC>(resolve("glDeleteSync"))};
        if (!functions.fenceSync || !functions.waitSync || !functions.deleteSync) return {};
        return functions;
    }
};

}  // namespace

struct RenderConnection::Native {
    Display* display = nullptr;
    GLXContext context = nullptr;
    GLXFBConfig config = nullptr;
    QSurfaceFormat format;
    std::string displayName;  // Qt's, which this one was opened to
    int screen = 0;
    VisualID visual = 0;
    FenceFunctions fences;
    WId current = 0;

    // On any thread: only a context current on this one is let go of here, nothing another thread has.
    ~Native() {
        if (context) {
            if (glXGetCurrentContext() == context) glXMakeContextCurrent(display, None, None, nullptr);
            glXDestroyContext(display, context);
        }
        if (display) XCloseDisplay(display);
    }
};

namespace {

Display* qtDisplay() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

// False where the X server has no such window: a window being destroyed is gone here even while Qt's
// connection has not heard of it yet.
bool windowAttributes(Display* display, WId window, XWindowAttributes& attributes) {
    return XGetWindowAttributes(display, Window(window), &attributes) && attributes.visual;
}

// A double-buffered RGBA frame buffer configuration for windows of `visual` on `screen`.
GLXFBConfig configFor(Display* display, int screen, VisualID visual) {
    const int attributes[] = {GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT, GLX_RENDER_TYPE, GLX_RGBA_BIT,
                              GLX_DOUBLEBUFFER,  True,           0};
    int count = 0;
    GLXFBConfig* configs = glXChooseFBConfig(display, screen, attributes, &count);
    GLXFBConfig chosen = nullptr;
    for (int i = 0; i < count && !chosen; ++i) {
        int id = 0;
        if (glXGetFBConfigAttrib(display, configs[i], GLX_VISUAL_ID, &id) == Success && VisualID(id) == visual)
            chosen = configs[i];
    }
    if (configs) XFree(configs);
    return chosen;
}

// A context of the version and profile Qt's has.
GLXContext contextFor(Display* display, GLXFBConfig config, const QSurfaceFormat& format,
                      GLXContext shared = nullptr) {
    if (format.profile() != QSurfaceFormat::CoreProfile)
        return glXCreateNewContext(display, config, GLX_RGBA_TYPE, shared, True);
    using Create = GLXContext (*)(Display*, GLXFBConfig, GLXContext, Bool, const int*);
    const auto create = reinterpret_cast<Create>(
        glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXCreateContextAttribsARB")));
    if (!create) return nullptr;
    const int attributes[] = {GLX_CONTEXT_MAJOR_VERSION_ARB, format.majorVersion(),
                              GLX_CONTEXT_MINOR_VERSION_ARB, format.minorVersion(),
                              GLX_CONTEXT_PROFILE_MASK_ARB,  GLX_CONTEXT_CORE_PROFILE_BIT_ARB,
                              0};
    return create(display, config, shared, True, attributes);
}

}  // namespace

RenderConnection::RenderConnection(std::unique_ptr<Native> native) : native_(std::move(native)) {}

RenderConnection::~RenderConnection() {
    // The sharing context goes before the connection it lies on.
    sharing_.reset();
}

std::unique_ptr<RenderConnection> RenderConnection::open(const QOpenGLContext& qtContext, WId window,
                                                        Refusal* refusal) {
    const auto refused = [refusal](Refusal why) {
        if (refusal) *refusal = why;
        return nullptr;
    };
    Display* shared = qtDisplay();
    if (!shared || !window || qtContext.isOpenGLES() || !qtContext.nativeInterface<QNativeInterface::QGLXContext>())
        return refused(Refusal::unavailable);
    auto native = std::make_unique<Native>();
    native->displayName = DisplayString(shared);
    native->display = XOpenDisplay(native->displayName.c_str());
    if (!native->display) return refused(Refusal::unavailable);
    XWindowAttributes attributes{};
    if (!windowAttributes(native->display, window, attributes)) return refused(Refusal::windowGone);
    native->screen = XScreenNumberOfScreen(attributes.screen);
    native->visual = XVisualIDFromVisual(attributes.visual);
    const GLXFBConfig config = configFor(native->display, native->screen, native->visual);
    if (!config) return refused(Refusal::unavailable);
    native->config = config;
    native->format = qtContext.format();
    native->fences = FenceFunctions::of(qtContext);
    native->context = contextFor(native->display, config, native->format);
    if (!native->context) return refused(Refusal::unavailable);
    std::unique_ptr<RenderConnection> connection(new RenderConnection(std::move(native)));
    if (!connection->makeCurrent(window))
        return refused(windowAttributes(connection->native_->display, window, attributes) ? Refusal::unavailable
                                                                                           : Refusal::windowGone);
    return connection;
}

bool RenderConnection::suits(const QOpenGLContext& qtContext, WId window) const {
    Display* shared = qtDisplay();
    if (!shared || !window || native_->displayName != DisplayString(shared) || qtContext.format() != native_->format)
        return false;
    XWindowAttributes attributes{};
    return windowAttributes(native_->display, window, attributes) &&
           XScreenNumberOfScreen(attributes.screen) == native_->screen &&
           XVisualIDFromVisual(attributes.visual) == native_->visual;
}

bool RenderConnection::makeCurrent(WId window) {
    if (native_->current == window) return true;
    if (!glXMakeCurrent(native_->display, Window(window), native_->context)) return false;
    native_->current = window;
    return true;
}

void RenderConnection::swapBuffers() { glXSwapBuffers(native_->display, Window(native_->current)); }

// The GL library lets go of what it kept for the window (its buffers, the shared memory they lie in) while
// the window is still there.
bool RenderConnection::leaveWindow() {
    native_->current = 0;
    return glXMakeContextCurrent(native_->display, None, None, native_->context);
}

void RenderConnection::release() {
    native_->current = 0;
    glXMakeContextCurrent(native_->display, None, None, nullptr);
}

bool RenderConnection::waitFor(Fence fence) {
    if (!fence) return false;
    native_->fences.waitSync(fence, 0, GL_TIMEOUT_IGNORED);
    // Deleted once the wait no longer needs it.
    native_->fences.deleteSync(fence);
    return true;
}

struct RenderConnection::SharingContext::Native {
    Display* display = nullptr;
    GLXContext context = nullptr;
    FenceFunctions fences;

    ~Native() {
        if (context) {
            if (glXGetCurrentContext() == context) glXMakeContextCurrent(display, None, None, nullptr);
            glXDestroyContext(display, context);
        }
    }
};

RenderConnection::SharingContext::SharingContext(std::unique_ptr<Native> native) : native_(std::move(native)) {}
RenderConnection::SharingContext::~SharingContext() = default;

RenderConnection::SharingContext* RenderConnection::sharingContext() {
    if (std::exchange(sharingTried_, true)) return sharing_.get();
    auto native = std::make_unique<SharingContext::Native>();
    native->display = native_->display;
    native->fences = native_->fences;
    native->context = contextFor(native_->display, native_->config, native_->format, native_->context);
    if (native->context) sharing_.reset(new SharingContext(std::move(native)));
    return sharing_.get();
}

// No drawable: a direct context then sends nothing to the X server, which the render thread talks to on the
// same connection.
bool RenderConnection::SharingContext::makeCurrent() {
    return glXMakeContextCurrent(native_->display, None, None, native_->context);
}

void RenderConnection::SharingContext::release() { glXMakeContextCurrent(native_->display, None, None, nullptr); }

// A flush alone only starts the commands: the other context could read a texture still being written.
RenderConnection::Fence RenderConnection::SharingContext::fence() {
    if (!native_->fences.fenceSync) {
        glFinish();
        return nullptr;
    }
    const Fence fence = native_->fences.fenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    // A fence waited on in another context must have been sent, or the wait may never end.
    glFlush();
    if (!fence) glFinish();
    return fence;
}

void RenderConnection::SharingContext::discard(Fence fence) {
    if (fence) native_->fences.deleteSync(fence);
}

}  // namespace corvane::stream
