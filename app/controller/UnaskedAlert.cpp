#include "app/controller/UnaskedAlert.hpp"

#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

namespace corvane {

UnaskedAlert::UnaskedAlert(QDialog* alert, std::function<QWidget*()> stream, std::function<void()> seen)
    : QObject(alert), alert_(alert), stream_(std::move(stream)), seen_(std::move(seen)) {
    // Alone, a dialog with no parent window is stacked as any window: the main window, activated, or the
    // stream window, opening, would cover it.
    alert_->setWindowFlag(Qt::WindowStaysOnTopHint);
    alert_->installEventFilter(this);
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &UnaskedAlert::follow);
    connect(alert_, &QDialog::finished, this, &UnaskedAlert::markSeen);
}

bool UnaskedAlert::eventFilter(QObject* watched, QEvent* event) {
    if (watched == alert_ && event->type() == QEvent::Show && !window_) {
        // Only the native window hears when the window manager has put it on screen.
        window_ = alert_->windowHandle();
        if (window_) window_->installEventFilter(this);
    }
    if ((watched == alert_ && event->type() == QEvent::Show) || (watched == window_ && event->type() == QEvent::Expose))
        QMetaObject::invokeMethod(this, &UnaskedAlert::follow, Qt::QueuedConnection);
    return false;
}

void UnaskedAlert::follow() {
    QWidget* stream = stream_();
    if (stream && stream->isActiveWindow()) {
        // Keys typed now belong to Windows, and the stream window would cover the alert.
        if (alert_->isVisible()) {
            aside_ = true;
            alert_->hide();
        }
        return;
    }
    if (aside_) {
        aside_ = false;
        alert_->show();
        alert_->raise();
        return;  // seen once it is on screen again
    }
    if (alert_->isVisible() && window_ && window_->isExposed()) markSeen();
}

void UnaskedAlert::markSeen() {
    if (wasSeen_) return;
    wasSeen_ = true;
    if (seen_) seen_();
}

} // namespace corvane
