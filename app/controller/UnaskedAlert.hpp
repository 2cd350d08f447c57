#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class QDialog;
class QWidget;
class QWindow;

namespace corvane {

// Keeps an alert the user did not ask for where it can be seen and out of the stream's way: it stays above
// the app's windows (a window activated later does not cover it), steps aside while the stream window has
// the keyboard and comes back once that is left, and counts as seen only once it was on screen with no
// stream window over it. A child of the alert; made before the alert is shown.
class UnaskedAlert final : public QObject {
    Q_OBJECT
public:
    // `stream` gives the stream window, null while there is none; `seen` runs once: when the alert is first on
    // screen, or when it is answered (an answer was seen, whatever the window manager told us).
    UnaskedAlert(QDialog* alert, std::function<QWidget*()> stream, std::function<void()> seen);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void follow();
    void markSeen();

    QDialog* alert_;
    std::function<QWidget*()> stream_;
    std::function<void()> seen_;
    QPointer<QWindow> window_;
    bool aside_ = false;
    bool wasSeen_ = false;
};

} // namespace corvane
