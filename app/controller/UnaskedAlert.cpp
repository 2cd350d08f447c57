#include "app/controller/UnaskedAlert.hpp"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMessageBox>
#include <QWidget>
#include <QWindow>

namespace corvane {

UnaskedAlert::UnaskedAlert(std::function<QMessageBox*()> make, Surroundings around,
                           std::function<void(QMessageBox*)> shown, std::function<void()> answered, QObject* parent)
    : QObject(parent), make_(std::move(make)), around_(std::move(around)), shown_(std::move(shown)),
      answered_(std::move(answered)) {
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &UnaskedAlert::focusChanged);
}

UnaskedAlert::~UnaskedAlert() {
    if (QMessageBox* alert = alert_.data()) {
        alert_ = nullptr;
        forget(alert);
        delete alert;
    }
}

void UnaskedAlert::forget(QMessageBox* alert) {
    // Its destruction sends events through the filter after its own part is gone.
    alert->removeEventFilter(this);
    alert->disconnect(this);
}

void UnaskedAlert::update() {
    if (done_) return;
    const bool onTime = !looked_;
    looked_ = true;
    bool wanted = false;
    if (around_.quitting()) {
        wanted = false;
    } else if (!around_.streamWindowExists()) {
        streamHadKeyboard_ = false;
        cameForward_ = false;
        wanted = true;
    } else {
        // Windows opened at the start has the keyboard before the alert is due: no change reports it.
        QWidget* stream = around_.streamWindow();
        if (stream && stream->windowHandle() && stream->windowHandle() == QGuiApplication::focusWindow()) {
            streamHadKeyboard_ = true;
            cameForward_ = false;
        }
        wanted = cameForward_;
    }
    QWindow* focus = QGuiApplication::focusWindow();
    if (wanted && alert_ && waiting_ && focus) {
        // The user came to another window of the app: made again as the modal alert, with the keyboard. One who
        // came to the alert itself has it already.
        if (focus != alert_->windowHandle()) {
            stepAside();
            show(true);
        }
        return;
    }
    // Only a change of mind acts: an alert hidden with its parent (the main window closed to the tray) is not
    // brought back by the next focus change.
    if (wanted == bool(alert_)) return;
    if (wanted)
        show(onTime || focus);
    else
        stepAside();
}

void UnaskedAlert::show(bool activate) {
    alert_ = make_();
    alert_->installEventFilter(this);
    connect(alert_, &QMessageBox::buttonClicked, this, &UnaskedAlert::userAnswered);
    connect(alert_, &QDialog::finished, this, &UnaskedAlert::closed);
    if (shown_) shown_(alert_);
    waiting_ = !activate;
    if (activate) {
        alert_->open();
        alert_->raise();
        alert_->activateWindow();
        return;
    }
    // Late, with another program at the keyboard: over the app's windows, under that program, without taking
    // the keyboard. Qt activates a modal window as it maps (a message box is one from the start), so until the
    // user comes to the app it is a plain one that asks not to be. A window manager puts a new window it does
    // not focus on top all the same: lowered, it goes down with the main window it belongs to.
    alert_->setWindowModality(Qt::NonModal);
    alert_->setAttribute(Qt::WA_ShowWithoutActivating);
    alert_->show();
    alert_->lower();
}

void UnaskedAlert::stepAside() {
    QMessageBox* alert = alert_;
    alert_ = nullptr;
    forget(alert);
    // Destroyed at once, not later: a focus the window manager still gives it must find no window of ours.
    delete alert;
    if (shown_) shown_(nullptr);
}

void UnaskedAlert::closed() {
    QMessageBox* alert = alert_;
    if (!alert || done_) return;
    done_ = true;
    QAbstractButton* button = alert->clickedButton();
    const int answer = button ? button->property("answer").toInt() : -1;
    forget(alert);
    alert->deleteLater();  // we are inside its own handler
    Q_EMIT finished(answer);
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
    // Not from inside the focus report: the window that lost the focus may be the alert, which stepping aside
    // destroys, and the report still speaks to it after this.
    QMetaObject::invokeMethod(this, &UnaskedAlert::update, Qt::QueuedConnection);
}

bool UnaskedAlert::eventFilter(QObject* watched, QEvent* event) {
    // The window manager's close button; the app's own closing of every window at quit is not spontaneous.
    if (event->type() == QEvent::Close && event->spontaneous() && watched == alert_ && alert_->isVisible())
        userAnswered();
    return false;
}

void UnaskedAlert::userAnswered() {
    if (wasAnswered_ || around_.quitting()) return;
    wasAnswered_ = true;
    if (answered_) answered_();
}

} // namespace corvane
