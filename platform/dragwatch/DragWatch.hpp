#pragma once

#include <QObject>

#include <cstdint>

namespace corvane::platform {

class SelectionWatch;

// Sees every drag that starts anywhere on the X display, ours included: an XDND source takes the
// XdndSelection when its drag begins, and XFixes reports each new owner. Without an X display (another Qt
// platform) it sees nothing. Main thread only; reports come from the main thread's event loop.
class DragWatch final : public QObject {
    Q_OBJECT
public:
    explicit DragWatch(QObject* parent = nullptr);
    ~DragWatch() override;

    bool available() const;
    // Grows by one with every drag that starts.
    std::int64_t changeCount() const { return count_; }
    // Whether the left mouse button is down now, wherever the pointer is.
    bool leftButtonDown() const;

Q_SIGNALS:
    void dragStarted();

private:
    SelectionWatch* selection_;
    std::int64_t count_ = 0;
};

} // namespace corvane::platform
