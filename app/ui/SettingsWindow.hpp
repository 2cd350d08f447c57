#pragma once

#include <QWidget>

#include <functional>
#include <vector>

class QTabWidget;

namespace corvane {

class BoxController;
class GeneralTab;
class SettingsPage;

// The settings window: six tabs (General, Stream, Controllers, Sharing, Shortcuts, Updates), wide enough to
// show them all and as tall as the page shown up to the screen's free area, past which the page
// scrolls. While it lives, the shortcut recorder takes its key presses from this window.
class SettingsWindow final : public QWidget {
    Q_OBJECT
public:
    explicit SettingsWindow(BoxController& box, QWidget* parent = nullptr);
    ~SettingsWindow() override;

    // Shows the window, or raises the one shown.
    void showAndRaise();
    QTabWidget* tabs() const { return tabs_; }
    GeneralTab* general() const { return general_; }
    // The page of a tab (inside its scroll area); none past the last.
    SettingsPage* page(int index) const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void fitPage();
    void drawTabSymbols();

    BoxController& box_;
    QTabWidget* tabs_;
    GeneralTab* general_;
    std::vector<SettingsPage*> pages_;
};

} // namespace corvane
