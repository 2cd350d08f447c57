#pragma once

#include <QWidget>

#include <functional>

class QTabWidget;

namespace corvane {

class BoxController;
class GeneralTab;

// The settings window: six tabs (General, Stream, Controllers, Sharing, Shortcuts, Updates), as tall as
// the page shown. While it lives, the shortcut recorder takes its key presses from this window.
class SettingsWindow final : public QWidget {
    Q_OBJECT
public:
    explicit SettingsWindow(BoxController& box, QWidget* parent = nullptr);
    ~SettingsWindow() override;

    // Shows the window, or raises the one shown.
    void showAndRaise();
    QTabWidget* tabs() const { return tabs_; }
    GeneralTab* general() const { return general_; }

private:
    void fitPage();

    BoxController& box_;
    QTabWidget* tabs_;
    GeneralTab* general_;
};

} // namespace corvane
