#include "app/ui/WheelGuard.hpp"

#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWidget>

namespace corvane {
namespace {

// What the wheel adds to a focus policy: a control with it takes the keyboard as the wheel passes over it,
// as if clicked.
constexpr int kWheelOnly = Qt::WheelFocus & ~Qt::StrongFocus;

bool guarded(QWidget* widget) {
    return qobject_cast<QComboBox*>(widget) || qobject_cast<QAbstractSpinBox*>(widget) ||
           (qobject_cast<QAbstractSlider*>(widget) && !qobject_cast<QScrollBar*>(widget));
}

} // namespace

WheelGuard::WheelGuard(QWidget& page) : QObject(&page), page_(page) {
    // Filtering the application's events reaches the controls the page gets later, and the parts they are
    // made of (a number field's text line), whenever they are made.
    qApp->installEventFilter(this);
    // The click stands while the keyboard stays with the control: a picker's list or another window may have
    // it for a while, but another widget of the control's window taking it ends the click.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (clicked_ && now && now->window() == clicked_->window() && now != clicked_ && !clicked_->isAncestorOf(now))
            clicked_ = nullptr;
    });
}

QWidget* WheelGuard::controlOf(QObject* target) const {
    if (!target->isWidgetType()) return nullptr;
    auto* widget = static_cast<QWidget*>(target);
    if (!page_.isAncestorOf(widget)) return nullptr;
    for (QWidget* w = widget; w != &page_; w = w->parentWidget())
        if (guarded(w)) return w;
    return nullptr;
}

bool WheelGuard::eventFilter(QObject* target, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        // The latest click in the page's window decides: into a control, the wheel may change that one;
        // anywhere else, none. It is read from what lies under the pointer, the same for every widget a press
        // passes up through. A picker's list is a window of its own and leaves the click standing.
        if (!target->isWidgetType()) return false;
        QWidget* window = static_cast<QWidget*>(target)->window();
        if (window != page_.window()) return false;
        const QPoint at = window->mapFromGlobal(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
        QWidget* under = window->childAt(at);
        clicked_ = under ? controlOf(under) : nullptr;
        return false;
    }
    case QEvent::Polish:
    case QEvent::Wheel: break;
    default: return false;
    }
    QWidget* control = controlOf(target);
    if (!control) return false;
    if (event->type() == QEvent::Polish) {
        // Before it is first shown: from then on the wheel passing over it leaves the keyboard where it is.
        auto* widget = static_cast<QWidget*>(target);
        widget->setFocusPolicy(Qt::FocusPolicy(widget->focusPolicy() & ~kWheelOnly));
        return false;
    }
    if (control == clicked_ && control->hasFocus()) return false;
    // Refused: the wheel goes on to the widgets holding the control, up to the scroll area that moves the page.
    event->ignore();
    return true;
}

} // namespace corvane
