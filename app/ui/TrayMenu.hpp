#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

class QMenu;
class QSystemTrayIcon;

namespace corvane {

class BoxController;

// The tray icon and its menu: the status, the session, waking and restarting the box, sending files, the
// main and settings windows, the update check, diagnostics and quitting. The menu is rebuilt from the
// controller on every change; the icon follows the phase. Present while "Corvane.ShowMenuBar" is on.
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
    // Whether an icon is on screen now (the setting is on and the desktop has a tray).
    bool shown() const;

    QMenu* menu() const { return menu_.get(); }
    const std::string& iconSymbol() const { return iconSymbol_; }
    static std::string iconSymbol(const BoxController& box);

private:
    void rebuild();

    BoxController& box_;
    Actions actions_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* icon_;
    std::string iconSymbol_;
};

} // namespace corvane
