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
// The alert is stacked over the app's main window only (its parent, so the window manager keeps it above that
// one and no other program's window). A child of the alert, made before the alert is shown; the alert is shown
// only through update(). Main thread only.
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

    // `answered` runs once, when the user pressed one of the alert's buttons or closed it, never for a close
    // that the app's quit made.
    UnaskedAlert(QMessageBox* alert, Surroundings around, std::function<void()> answered);

    // Re-reads the surroundings and shows the alert or keeps it back; the owner calls it whenever a stream
    // window comes or goes and when the app begins to quit. Focus changes are followed here.
    void update();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void focusChanged(QWindow* focus);
    void userAnswered();

    QMessageBox* alert_;
    Surroundings around_;
    std::function<void()> answered_;
    bool streamHadKeyboard_ = false;  // since the current stream window appeared
    bool cameForward_ = false;        // the user came from the stream window to the main window
    bool shown_ = false;              // what update() decided last
    bool finished_ = false;
    bool wasAnswered_ = false;
};

} // namespace corvane
