#pragma once

#include <QPointer>
#include <QWidget>

namespace corvane {

// The desktop's own shortcuts sent to Windows: while it runs (full screen, not paused) the stream window
// grabs the keyboard, so every key reaches the stream view (which keeps the two stream shortcuts for
// itself) instead of the window manager. The pointer capture grabs the keyboard too and lets it go on
// release; the tap takes its grab again then. Main thread only.
class SystemKeyTap final {
public:
    SystemKeyTap() = default;
    ~SystemKeyTap() { ungrab(); }
    SystemKeyTap(const SystemKeyTap&) = delete;
    SystemKeyTap& operator=(const SystemKeyTap&) = delete;

    // True when the tap runs (also when it already ran).
    bool start(QWidget& window);
    void stop();
    bool running() const { return running_; }

    bool paused() const { return paused_; }
    void setPaused(bool paused);
    // Takes the grab again when it should be held (after another grab of this window ended).
    void renew();
    bool grabbed() const { return grabbed_; }

private:
    bool grab();
    void ungrab();

    QPointer<QWidget> window_;
    bool running_ = false;
    bool paused_ = false;
    bool grabbed_ = false;
};

}  // namespace corvane
