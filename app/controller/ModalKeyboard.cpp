#include "app/controller/ModalKeyboard.hpp"

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

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

} // namespace

ModalKeyboard::ModalKeyboard(QObject* parent) : QObject(parent) {
    // Not from inside the focus report: it goes on to the window that lost the focus afterwards.
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focus) {
        if (focus) QMetaObject::invokeMethod(this, &ModalKeyboard::takeBack, Qt::QueuedConnection);
    });
    qApp->installEventFilter(this);
}

ModalKeyboard::~ModalKeyboard() { qApp->removeEventFilter(this); }

bool ModalKeyboard::eventFilter(QObject* watched, QEvent* event) {
    // Sent before the window maps, while Qt may still change which windows it blocks.
    if (event->type() != QEvent::Show || !watched->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(watched);
    QWindow* window = widget->windowHandle();
    if (widget->isWindow() && widget->parentWidget() && window && window->modality() == Qt::ApplicationModal) {
        // Both: the widget already counts as modal, and Qt then leaves its window's modality as it was.
        widget->setWindowModality(Qt::WindowModal);
        window->setModality(Qt::WindowModal);
    }
    return false;
}

void ModalKeyboard::standUnder(QWidget& window, QWidget& owner) {
    window.winId(), owner.winId();  // their X windows made, not shown
    window.windowHandle()->setTransientParent(owner.windowHandle());
}

void ModalKeyboard::takeBack() {
    QWindow* focus = QGuiApplication::focusWindow();
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
