#pragma once

#include "app/ui/Tint.hpp"

#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QVBoxLayout;

namespace corvane {

class UpdateManager;

// The strip under the main window's header that tells about updates: one running, a failure, a check in
// progress, or the waiting updates, each row with the button that acts on it. Empty while there is
// nothing to say. It only reads the update manager and calls its actions.
class UpdateBanner final : public QWidget {
    Q_OBJECT
public:
    struct Button {
        std::string title;
        bool prominent = false;
        std::function<void()> action;
        bool enabled = true;
    };
    struct Row {
        std::string symbol;
        Tint tint = Tint::accent;
        std::string title;
        std::optional<std::string> detail;
        // The app's advice where it cannot update itself: shown whole, on as many lines as it takes.
        bool wholeDetail = false;
        std::optional<double> progress;
        bool spinner = false;
        std::vector<Button> buttons;
    };

    explicit UpdateBanner(UpdateManager& updates, QWidget* parent = nullptr);

    // What the banner shows now, in order; empty when it shows nothing.
    static std::vector<Row> rows(UpdateManager& updates, QWidget* alertParent = nullptr);
    // Whether the banner takes its bottom padding.
    static bool hasContent(const UpdateManager& updates);
    static std::string displayName(const std::string& component);

private:
    void sync();

    UpdateManager& updates_;
    QVBoxLayout* column_;
    QWidget* content_ = nullptr;
};

} // namespace corvane
