#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class QMessageBox;
class QWidget;
class QWindow;

namespace corvane {

// Decides when an alert the user did not ask for is on screen, so that it never takes keys meant for Windows:
// never while a stream window exists (opening, open or closing), unless the user, having been in the stream
// window, comes to the app's main window; it steps aside again as soon as the stream window has the keyboard,
// and shows once no stream window is left. Nothing shows it again once the app quits.
//
// Only its first look, as it falls due, may take the keyboard from another program. Shown later while another
// program has the keyboard, it waits over the app's windows without taking it, until the user comes to the app.
//
// While held back the alert is no window at all: each showing makes it anew and stepping aside destroys it, so
// no late word of the window manager (a map, a focus) can reach it while a stream window has the keyboard.
// The alert is made as a child of the app's main window, so it is stacked over that one and no other program's
// windows. Main thread only.
class UnaskedAlert final : public QObject {
    Q_OBJECT
public:
    struct Surroundings {
        // A stream window exists: opening, open, or closed but not gone yet.
        std::function<bool()> streamWindowExists;
        // The stream window, null while there is none.
        std::function<QWidget*()> streamWindow;
        QPointer<QWidget> mainWindow;
        std::function<bool()> quitting;
    };

    // `make` builds the alert (hidden) each time it is to show; each button carries its answer's number in the
    // property "answer". `shown` hears of every alert made (null once it is gone). `answered` runs once, when
    // the user pressed a button or closed the alert, never for a close that the app's quit made.
    UnaskedAlert(std::function<QMessageBox*()> make, Surroundings around, std::function<void(QMessageBox*)> shown,
                 std::function<void()> answered, QObject* parent);
    ~UnaskedAlert() override;

    // Re-reads the surroundings and shows the alert or keeps it back; the owner calls it whenever a stream
    // window comes or goes and when the app begins to quit. Focus changes are followed here.
    void update();

Q_SIGNALS:
    // The alert was closed: the answer's number, or -1 when closed without a button.
    void finished(int answer);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void focusChanged(QWindow* focus);
    // With `activate` the modal alert, with the keyboard; else one that waits without taking it.
    void show(bool activate);
    void stepAside();
    // Stops hearing from `alert`, which is about to go.
    void forget(QMessageBox* alert);
    void closed();
    void userAnswered();

    std::function<QMessageBox*()> make_;
    Surroundings around_;
    std::function<void(QMessageBox*)> shown_;
    std::function<void()> answered_;
    QPointer<QMessageBox> alert_;
    bool streamHadKeyboard_ = false;  // since the current stream window appeared
    bool cameForward_ = false;        // the user came from the stream window to the main window
    bool looked_ = false;             // update() ran once: any later showing is late
    bool waiting_ = false;            // a plain window without the keyboard, until the user comes to the app
    bool done_ = false;
    bool wasAnswered_ = false;
};

} // namespace corvane
