#pragma once

#include "app/ui/SettingsPage.hpp"

#include <optional>
#include <string>

class QLabel;
class QPushButton;
class QProgressBar;

namespace corvane {

class BoxController;
class PercentBar;
class TextLines;
class UpdateManager;

// The installed versions of the app, the box software and the streamer, each with its update button or
// "Up to date"; "Update All", "Check for Updates", the manager's status and progress.
class UpdatesTab final : public SettingsPage {
    Q_OBJECT
public:
    explicit UpdatesTab(BoxController& box, QWidget* parent = nullptr);

    static std::string boxAgentDetail(BoxController& box);
    static std::string hostDetail(BoxController& box);
    // The status line beside the buttons: none while it shows nothing (or the spinner for a check).
    static std::optional<std::string> statusLine(const UpdateManager& updates);
    void sync();

private:
    struct Trailing {
        QPushButton* button;
        QWidget* badge;
    };
    QWidget* softwareRow(const char* icon, const char* name, QLabel*& detail, Trailing& trailing, TextLines** why = nullptr);

    BoxController& box_;
    QLabel* appDetail_;
    TextLines* appObstacle_ = nullptr;  // why the app cannot update itself, whole
    QLabel* agentDetail_;
    QLabel* hostDetail_;
    Trailing app_{};
    Trailing agent_{};
    Trailing host_{};
    QPushButton* updateAll_;
    QPushButton* check_;
    QWidget* checking_;
    TextLines* status_;
    PercentBar* progress_;
};

} // namespace corvane
