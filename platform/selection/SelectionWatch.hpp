#pragma once

#include <QObject>

#include <memory>
#include <string>

struct _XDisplay;

namespace corvane::platform {

// Follows who owns one X selection, through a display connection of its own: XFixes reports each new owner,
// and the selection lost with its owner's window or client. Without an X display (another Qt platform, no
// XFixes) it reports nothing. Main thread only; reports come from the main thread's event loop, one
// `ownerChanged` each, in the order the server sent them (also those that came during construction).
class SelectionWatch final : public QObject {
    Q_OBJECT
public:
    // With `perScreen`, the selection's name is `name` followed by the default screen's number.
    explicit SelectionWatch(const std::string& name, bool perScreen = false, QObject* parent = nullptr);
    ~SelectionWatch() override;

    bool available() const;
    // Whether the selection has an owner, as of the last report (or the start).
    bool owned() const { return owned_; }
    // The watch's own connection, for other questions to the same server; null when not available.
    _XDisplay* display() const;

Q_SIGNALS:
    void ownerChanged(bool owned);

private:
    struct X11;
    void drain();

    std::unique_ptr<X11> x11_;
    bool owned_ = false;
};

} // namespace corvane::platform
