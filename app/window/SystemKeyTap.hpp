#pragma once

#include <QMetaObject>
#include <QPointer>
#include <QWidget>

namespace corvane {

// The desktop's own shortcuts sent to Windows: while it runs (full screen, not paused) the stream window
// grabs the keyboard, so every key reaches the stream view (which keeps the two stream shortcuts for
// itself) instead of the window manager. The grab is held only while the stream window is the active
// window of the active application: typing meant for another window never goes to Windows. The pointer
// capture grabs the keyboard too and lets it go on release; the tap takes its grab again then. Main thread
// only.
class SystemKeyTap final {
public:
    SystemKeyTap() = default;
    ~SystemKeyTap() { stop(); }
    SystemKeyTap(const SystemKeyTap&) = delete;
    SystemKeyTap& operator=(const SystemKeyTap&) = delete;

    // True when the tap runs (also when it already ran).
    bool start(QWidget& window);
    void stop();
    bool running() const { return running_; }

    bool paused() const { return paused_; }
    void setPaused(bool paused);
    // Takes the grab when it should be held (after another grab of this window ended, or the window became
    // active), lets it go otherwise.
    void renew();
    bool grabbed() const { return grabbed_; }

private:
    bool shouldHold() const;
    bool grab();
    void ungrab();

    QPointer<QWidget> window_;
    QMetaObject::Connection activation_;
    QMetaObject::Connection focus_;
    bool running_ = false;
    bool paused_ = false;
    bool grabbed_ = false;
};

}  // namespace corvane
