#include "app/controller/UnaskedAlert.hpp"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMessageBox>
#include <QWidget>
#include <QWindow>

namespace corvane {

UnaskedAlert::UnaskedAlert(QMessageBox* alert, Surroundings around, std::function<void()> answered)
    : QObject(alert), alert_(alert), around_(std::move(around)), answered_(std::move(answered)) {
    alert_->installEventFilter(this);
    connect(alert_, &QMessageBox::buttonClicked, this, &UnaskedAlert::userAnswered);
    connect(alert_, &QDialog::finished, this, [this] { finished_ = true; });
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &UnaskedAlert::focusChanged);
}

void UnaskedAlert::update() {
    bool wanted = false;
    if (finished_ || around_.quitting()) {
        wanted = false;
    } else if (!around_.streamWindowExists()) {
        streamHadKeyboard_ = false;
        cameForward_ = false;
        wanted = true;
    } else {
        wanted = cameForward_;
    }
    // Only a change of mind acts: an alert hidden with its parent (the main window closed to the tray) is not
    // brought back by the next focus change.
    if (wanted == shown_) return;
    shown_ = wanted;
    if (!wanted) {
        alert_->hide();
        return;
    }
    alert_->open();
    alert_->raise();
    alert_->activateWindow();
}

void UnaskedAlert::focusChanged(QWindow* focus) {
    if (!focus) return;
    QWidget* stream = around_.streamWindow();
    QWidget* main = around_.mainWindow;
    if (stream && stream->windowHandle() == focus) {
        streamHadKeyboard_ = true;
        cameForward_ = false;
    } else if (streamHadKeyboard_ && stream && main && main->windowHandle() == focus) {
        // Only a move away from the live stream counts: a late report that the main window was active, from
        // before the stream window opened, must not bring the alert over the opening stream, nor the focus the
        // main window gets back from a closing one.
        cameForward_ = true;
    }
    update();
}

bool UnaskedAlert::eventFilter(QObject* watched, QEvent* event) {
    // The window manager's close button; the app's own closing of every window at quit is not spontaneous.
    if (watched == alert_ && event->type() == QEvent::Close && event->spontaneous() && alert_->isVisible())
        userAnswered();
    return false;
}

void UnaskedAlert::userAnswered() {
    if (wasAnswered_ || around_.quitting()) return;
    wasAnswered_ = true;
    if (answered_) answered_();
}

} // namespace corvane
