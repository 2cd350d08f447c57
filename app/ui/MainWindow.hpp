#pragma once

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class QScrollArea;
class QToolButton;

namespace corvane {

class BoxController;
class ElidedLabel;
class BoxStatusCard;
class Spinner;
class TrayMenu;

// The main window ("main"): the product and the connected box, the update banner, a status card for the
// controller's phase, the four-step checklist, the box's load and the one action that fits the phase.
// It keeps no state: every change of the controller re-reads it, and so does every change of the palette.
// It is as tall as its content up to the screen's free area, past which the content scrolls. Closing hides
// it; the app quits with it only while no tray icon shows.
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
    static constexpr int kWidth = 440;

    void sync();
    void act();
    void fit();

    BoxController& box_;
    const TrayMenu* tray_ = nullptr;
    QScrollArea* scroll_;
    QWidget* content_;
    QLabel* icon_;
    QToolButton* settings_;
    ElidedLabel* subtitle_;
    QLabel* badge_;
    Spinner* spinner_;
    QLabel* title_;
    QLabel* detail_;
    QLabel* checkIcons_[4];
    QLabel* checks_[4];
    BoxStatusCard* boxCard_;
    QPushButton* action_;
};

} // namespace corvane
