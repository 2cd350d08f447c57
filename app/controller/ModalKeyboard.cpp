#include "app/controller/ModalKeyboard.hpp"

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

namespace corvane {
namespace {

// Whether `modal`, shown, keeps the keyboard from `focus`: an application-modal window blocks every other
// window, a window-modal one the windows it stands on. Its own popups it does not block.
bool blocks(const QWidget* modal, const QWindow* focus) {
    const QWindow* window = modal->windowHandle();
    if (!window || !modal->isVisible() || window == focus || window->isAncestorOf(focus)) return false;
    switch (modal->windowModality()) {
    case Qt::ApplicationModal: return true;
    case Qt::WindowModal: return focus->isAncestorOf(window);
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
