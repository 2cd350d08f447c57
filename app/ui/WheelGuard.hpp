#pragma once

#include <QObject>
#include <QPointer>

class QWidget;

namespace corvane {

// Keeps the wheel from changing a picker, slider or number field of a page the user scrolls: over such a
// control the wheel scrolls whatever holds the page, unless the user's last click in the window was into that
// control and it still has the keyboard from that click. Keyboard focus by Tab is left as it is, and the wheel
// never moves it. Covers every such control the page holds now or later. Made by the page, lives as long as
// it, on the main thread; it watches the application's events for the page's widgets.
class WheelGuard final : public QObject {
public:
    explicit WheelGuard(QWidget& page);

protected:
    bool eventFilter(QObject* target, QEvent* event) override;

private:
    // The guarded control that `target` is or lies in on the page, or none.
    QWidget* controlOf(QObject* target) const;

    QWidget& page_;
    QPointer<QWidget> clicked_;  // the control the last click went into, while the keyboard stays with it
};

} // namespace corvane
