#include "app/controller/ModalKeyboard.hpp"

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

#include <algorithm>

#include <xcb/xcb.h>

namespace corvane {
namespace {

// The window a window stands under, as Qt's modality reads it: its parent, else its transient parent.
const QWindow* above(const QWindow* window) {
    const QWindow* parent = window->parent();
    return parent ? parent : window->transientParent();
}

// Whether the two windows share a window they stand under (either may be it).
bool sameFamily(const QWindow* one, const QWindow* other) {
    for (const QWindow* a = one; a; a = above(a))
        for (const QWindow* b = other; b; b = above(b))
            if (a == b) return true;
    return false;
}

// Whether `modal`, shown, keeps the keyboard from `focus`: an application-modal window blocks every other
// window, a window-modal one the windows of its family. Its own popups it does not block.
bool blocks(const QWidget* modal, const QWindow* focus) {
    const QWindow* window = modal->windowHandle();
    if (!window || !modal->isVisible() || window == focus || window->isAncestorOf(focus)) return false;
    switch (window->modality()) {
    case Qt::ApplicationModal: return true;
    case Qt::WindowModal: return sameFamily(window, focus);
    case Qt::NonModal: return false;
    }
    return false;
}

// Whether `modal` is a modal window that `owner` holds (its parents reach `owner`), not one of `member`'s.
bool heldBy(const QWidget* modal, const QWidget* owner, const QWidget* member) {
    if (!modal->isVisible() || modal->windowModality() == Qt::NonModal) return false;
    for (const QWidget* up = modal->parentWidget(); up; up = up->parentWidget()) {
        if (up == member) return false;
        if (up == owner) return true;
    }
    return false;
}

} // namespace

ModalKeyboard::ModalKeyboard(QObject* parent) : QObject(parent) {
    // Not from inside the focus report: it goes on to the window that lost the focus afterwards.
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focus) {
        if (focus)
            QMetaObject::invokeMethod(this, [this] { takeBack(QGuiApplication::focusWindow()); }, Qt::QueuedConnection);
    });
    qApp->installEventFilter(this);
    qApp->installNativeEventFilter(this);
}

ModalKeyboard::~ModalKeyboard() {
    qApp->removeNativeEventFilter(this);
    qApp->removeEventFilter(this);
}

bool ModalKeyboard::nativeEventFilter(const QByteArray& type, void* message, qintptr*) {
    if (type != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_FOCUS_IN) return false;
    xFocus_ = static_cast<const xcb_focus_in_event_t*>(message)->event;
    QMetaObject::invokeMethod(this, [this, id = xFocus_] {
        if (id != xFocus_) return;  // the keyboard went on meanwhile
        const QWindowList windows = QGuiApplication::topLevelWindows();
        const auto found = std::ranges::find_if(windows, [id](QWindow* w) { return w->handle() && w->winId() == id; });
        if (found != windows.end()) takeBack(*found);
    }, Qt::QueuedConnection);
    return false;
}

bool ModalKeyboard::eventFilter(QObject* watched, QEvent* event) {
    // A show is heard before the window maps, while Qt may still change which windows it blocks.
    const bool shown = event->type() == QEvent::Show;
    if ((!shown && event->type() != QEvent::Hide) || !watched->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(watched);
    if (!widget->isWindow() || widget->windowModality() == Qt::NonModal) return false;
    QWindow* window = widget->windowHandle();
    if (shown && widget->parentWidget() && window && window->modality() == Qt::ApplicationModal) {
        // Both: the widget already counts as modal, and Qt then leaves its window's modality as it was.
        widget->setWindowModality(Qt::WindowModal);
        window->setModality(Qt::WindowModal);
    }
    regroup();
    return false;
}

void ModalKeyboard::standUnder(QWidget& window, QWidget& owner) {
    window.winId(), owner.winId();  // their X windows made, not shown
    members_.push_back({&window, &owner});
    regroup();
}

void ModalKeyboard::regroup() {
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const Member& member : members_) {
        QWindow* handle = member.window ? member.window->windowHandle() : nullptr;
        if (!handle || !member.owner) continue;
        const bool held = std::ranges::any_of(windows, [&](const QWidget* modal) {
            return heldBy(modal, member.owner, member.window);
        });
        // Qt re-reads which windows a modal one blocks as this changes.
        QWindow* under = held ? member.owner->windowHandle() : nullptr;
        if (handle->transientParent() != under) handle->setTransientParent(under);
    }
}

void ModalKeyboard::takeBack(QWindow* focus) {
    if (!focus) return;
    QWidget* innermost = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (!blocks(widget, focus)) continue;
        if (!innermost || innermost->windowHandle()->isAncestorOf(widget->windowHandle())) innermost = widget;
    }
    if (!innermost) return;
    innermost->raise();
    innermost->activateWindow();
}

} // namespace corvane
