#include "engine/view/RenderConnection.hpp"

#include <QGuiApplication>
#include <QOpenGLContext>

#include <GL/glx.h>
#include <X11/Xlib.h>

namespace corvane::stream {

struct RenderConnection::Native {
    Display* display = nullptr;
    GLXContext context = nullptr;
    GLXFBConfig config = nullptr;
    QSurfaceFormat format;
    WId current = 0;

    ~Native() {
        if (context) {
            glXMakeCurrent(display, 0, nullptr);
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
RenderConnection::~RenderConnection() = default;

std::unique_ptr<RenderConnection> RenderConnection::open(const QOpenGLContext& qtContext, WId window) {
    Display* shared = qtDisplay();
    if (!shared || !window || qtContext.isOpenGLES() || !qtContext.nativeInterface<QNativeInterface::QGLXContext>())
        return nullptr;
    auto native = std::make_unique<Native>();
    native->display = XOpenDisplay(DisplayString(shared));
    if (!native->display) return nullptr;
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(native->display, Window(window), &attributes) || !attributes.visual) return nullptr;
    const GLXFBConfig config =
        configFor(native->display, XScreenNumberOfScreen(attributes.screen), XVisualIDFromVisual(attributes.visual));
    if (!config) return nullptr;
    native->config = config;
    native->format = qtContext.format();
    native->context = contextFor(native->display, config, native->format);
    if (!native->context) return nullptr;
    std::unique_ptr<RenderConnection> connection(new RenderConnection(std::move(native)));
    if (!connection->makeCurrent(window)) return nullptr;
    return connection;
}

bool RenderConnection::makeCurrent(WId window) {
    if (native_->current == window) return true;
    if (!glXMakeCurrent(native_->display, Window(window), native_->context)) return false;
    native_->current = window;
    return true;
}

void RenderConnection::swapBuffers() { glXSwapBuffers(native_->display, Window(native_->current)); }

struct RenderConnection::SharingContext::Native {
    Display* display = nullptr;
    GLXContext context = nullptr;

    ~Native() {
        if (context) glXDestroyContext(display, context);
    }
};

RenderConnection::SharingContext::SharingContext(std::unique_ptr<Native> native) : native_(std::move(native)) {}
RenderConnection::SharingContext::~SharingContext() = default;

std::unique_ptr<RenderConnection::SharingContext> RenderConnection::sharingContext() {
    auto native = std::make_unique<SharingContext::Native>();
    native->display = native_->display;
    native->context = contextFor(native_->display, native_->config, native_->format, native_->context);
    if (!native->context) return nullptr;
    return std::unique_ptr<SharingContext>(new SharingContext(std::move(native)));
}

// No drawable: a direct context then sends nothing to the X server, which the render thread talks to on the
// same connection.
bool RenderConnection::SharingContext::makeCurrent() {
    return glXMakeContextCurrent(native_->display, None, None, native_->context);
}

void RenderConnection::SharingContext::release() { glXMakeContextCurrent(native_->display, None, None, nullptr); }

void RenderConnection::SharingContext::flush() { glFlush(); }

}  // namespace corvane::stream
