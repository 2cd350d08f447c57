#pragma once

#include "app/ui/SettingsPage.hpp"

class QLabel;
class QPushButton;

namespace corvane {

class BoxController;

// The two stream shortcuts: click one, press the new keys (through the shortcut recorder), or reset it.
// Leaving the tab ends a recording.
class ShortcutsTab final : public SettingsPage {
    Q_OBJECT
public:
    explicit ShortcutsTab(BoxController& box, QWidget* parent = nullptr);

    QPushButton* shortcutButton(int row) const { return buttons_[row]; }
    QPushButton* resetButton(int row) const { return resets_[row]; }
    void sync();

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void toggleRecording(int row);

    BoxController& box_;
    QPushButton* buttons_[2];
    QPushButton* resets_[2];
    QLabel* message_;
    QWidget* permission_;
};

} // namespace corvane
