#include "engine/view/StreamSurface.hpp"

#include <QPlatformSurfaceEvent>

namespace corvane::stream {

StreamSurface::StreamSurface(QWindow* parent) : QWindow(parent) {
    setSurfaceType(QSurface::OpenGLSurface);
    setFlags(Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
}

StreamSurface::~StreamSurface() {
    // QWindow's destructor destroys the native window without asking this class any more.
    going_ = true;
    if (onGoing) onGoing();
}

void StreamSurface::exposeEvent(QExposeEvent*) {
    if (onExposeChanged) onExposeChanged();
}

bool StreamSurface::event(QEvent* event) {
    if (event->type() == QEvent::PlatformSurface) {
        going_ = static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType() ==
                 QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed;
        if (going_ && onGoing) onGoing();
    }
    return QWindow::event(event);
}

}  // namespace corvane::stream
