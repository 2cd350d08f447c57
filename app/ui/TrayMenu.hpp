#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

class QMenu;
class QSystemTrayIcon;

namespace corvane {

namespace platform {
class TrayHost;
}
class BoxController;

// The tray icon and its menu: the status, the session, waking and restarting the box, sending files, the
// main and settings windows, the update check, diagnostics and quitting. The menu is rebuilt from the
// controller on every change; the icon follows the phase. Present while "Corvane.ShowMenuBar" is on and
// the desktop shows a tray; whether closing the last window quits follows the same two.
class TrayMenu final : public QObject {
    Q_OBJECT
public:
    struct Actions {
        std::function<void()> showMain;
        std::function<void()> openSettings;
        std::function<void()> quit;
    };

    TrayMenu(BoxController& box, Actions actions, QObject* parent = nullptr);
    ~TrayMenu() override;

    // Re-reads "Corvane.ShowMenuBar": shows or removes the icon.
    void syncVisibility();
    // Whether this desktop shows the icon in a tray now, the setting aside.
    bool available() const { return available_; }
    // Whether an icon is on screen now (the setting is on and the desktop has a tray).
    bool shown() const { return shown_; }

    QMenu* menu() const { return menu_.get(); }
    const std::string& iconSymbol() const { return iconSymbol_; }
    static std::string iconSymbol(const BoxController& box);

Q_SIGNALS:
    // available() or shown() changed.
    void changed();

private:
    void rebuild();
    bool trayNow() const;
    void makeIcon();

    BoxController& box_;
    Actions actions_;
    std::unique_ptr<QMenu> menu_;
    platform::TrayHost* host_;
    QSystemTrayIcon* icon_ = nullptr;  // made once the desktop first shows a tray
    bool viaWatcher_ = false;          // how Qt sends the icon, fixed when it is made
    bool available_ = false;
    bool shown_ = false;
    std::string iconSymbol_;
};

} // namespace corvane
