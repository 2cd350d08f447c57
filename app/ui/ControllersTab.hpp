#pragma once

#include "app/ui/SettingsPage.hpp"

#include <string>

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace corvane {

class BoxController;

// The game controllers attached here, the three controller options, and the box's controller driver.
class ControllersTab final : public SettingsPage {
    Q_OBJECT
public:
    explicit ControllersTab(BoxController& box, QWidget* parent = nullptr);

    static std::string driverStatus(const BoxController& box);
    void sync();

private:
    BoxController& box_;
    QWidget* list_;
    QVBoxLayout* listRows_;
    QCheckBox* options_[3];
    QLabel* status_;
    QWidget* installRow_;
    QPushButton* install_;
};

} // namespace corvane
