#pragma once

#include "app/ui/SettingsPage.hpp"

class QCheckBox;
class QLabel;
class QPushButton;

namespace corvane {

class BoxController;
class ElidedLabel;
class PopupPicker;
class SegmentedPicker;
class TrayMenu;

// Theme, start at login, the tray icon, the box's sleep, waking, restarting, shutting down and forgetting
// the box, and support.
class GeneralTab final : public SettingsPage {
    Q_OBJECT
public:
    struct SleepChoice {
        int minutes;
        const char* label;
    };
    static constexpr SleepChoice kSleepChoices[] = {
        {0, "Never"}, {5, "After 5 minutes"}, {15, "After 15 minutes"}, {30, "After 30 minutes"},
        {60, "After 1 hour"}, {120, "After 2 hours"},
    };

    explicit GeneralTab(BoxController& box, QWidget* parent = nullptr);
    // The app's tray icon, whose desktop decides whether the tray switch can be used; without one the
    // tab tells that there is no tray.
    void setTray(TrayMenu* tray);

    void sync();

protected:
    void showEvent(QShowEvent* event) override;

private:
    BoxController& box_;
    SegmentedPicker* theme_;
    QCheckBox* login_;
    TrayMenu* tray_ = nullptr;
    QCheckBox* menuBar_;
    QLabel* trayNote_;
    ElidedLabel* boxName_;
    PopupPicker* sleep_;
    QCheckBox* wake_;
    QPushButton* wakeNow_;
    QLabel* sent_;
    QLabel* sleepNote_;
    QWidget* power_;
    QPushButton* forget_;
};

} // namespace corvane
