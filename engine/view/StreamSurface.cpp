#include "engine/view/StreamSurface.hpp"

namespace corvane::stream {

StreamSurface::StreamSurface(QWindow* parent) : QWindow(parent) {
    setSurfaceType(QSurface::OpenGLSurface);
    setFlags(Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
}

void StreamSurface::exposeEvent(QExposeEvent*) {
    if (isExposed() && onExposed) onExposed();
}

}  // namespace corvane::stream
