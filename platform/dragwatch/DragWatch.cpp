#include "platform/dragwatch/DragWatch.hpp"

#include "platform/selection/SelectionWatch.hpp"

#include <X11/Xlib.h>

namespace corvane::platform {

DragWatch::DragWatch(QObject* parent) : QObject(parent), selection_(new SelectionWatch("XdndSelection", false, this)) {
    connect(selection_, &SelectionWatch::ownerChanged, this, [this](bool owned) {
        if (!owned) return;
        ++count_;
        Q_EMIT dragStarted();
    });
}

DragWatch::~DragWatch() = default;

bool DragWatch::available() const { return selection_->available(); }

bool DragWatch::leftButtonDown() const {
    Display* display = selection_->display();
    if (!display) return false;
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &mask)) return false;
    return (mask & Button1Mask) != 0;
}

} // namespace corvane::platform
