#pragma once

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class QProgressBar;
class QToolButton;

namespace corvane {

class BoxController;
class BoxStatusCard;
class TrayMenu;

// The main window ("main"): the product and the connected box, the update banner, a status card for the
// controller's phase, the four-step checklist, the box's load and the one action that fits the phase.
// It keeps no state: every change of the controller re-reads it. Closing hides it; the app quits with it
// only while no tray icon shows.
class MainWindow final : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(BoxController& box, QWidget* parent = nullptr);

    void showAndActivate();
    // Whether a tray icon is on screen now, so the app lives on without this window.
    bool trayShown() const;
    void setTray(const TrayMenu* tray) { tray_ = tray; }
    // Opens or raises the settings window; set by the app.
    std::function<void()> openSettings;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void sync();
    void act();

    BoxController& box_;
    const TrayMenu* tray_ = nullptr;
    QToolButton* settings_;
    QLabel* subtitle_;
    QLabel* badge_;
    QProgressBar* spinner_;
    QLabel* title_;
    QLabel* detail_;
    QLabel* checkIcons_[4];
    QLabel* checks_[4];
    BoxStatusCard* boxCard_;
    QPushButton* action_;
};

} // namespace corvane
