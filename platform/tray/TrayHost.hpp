#pragma once

#include <QObject>

namespace corvane::platform {

class SelectionWatch;

// What this desktop offers to show tray icons in, followed live: a StatusNotifier watcher on the session
// bus with a host registered at it (the host draws the items), and an X tray manager (the owner of the
// screen's "_NET_SYSTEM_TRAY_S<n>" selection). Without a session bus, or on another Qt platform than xcb,
// that side reports none. Main thread only; `changed` comes from the main thread's event loop.
class TrayHost final : public QObject {
    Q_OBJECT
public:
    explicit TrayHost(QObject* parent = nullptr);
    ~TrayHost() override;

    // The watcher is on the bus (where Qt sends its icon when it finds one at the first icon of a run).
    bool notifierWatcher() const { return watcher_; }
    // The watcher says a host shows the items registered with it.
    bool notifierHost() const { return watcher_ && host_; }
    bool xTray() const;

Q_SIGNALS:
    void changed();

private Q_SLOTS:
    void readNotifier();

private:
    bool watcher_ = false;
    bool host_ = false;
    SelectionWatch* xTray_;
};

} // namespace corvane::platform
