#pragma once

#include "app/ui/SettingsPage.hpp"

#include <string>

class QCheckBox;
class QLabel;

namespace corvane {

class AdvancedStreamSheet;
class BoxController;
class PopupPicker;
class SegmentedPicker;
struct StreamSettings;

// The quality preset, how Windows is shown, resolution, frame rate, mouse, the four stream switches and
// the overlay; "Advanced..." opens the advanced sheet while the controller's flag asks for it.
class StreamTab final : public SettingsPage {
    Q_OBJECT
public:
    explicit StreamTab(BoxController& box, QWidget* parent = nullptr);

    static std::string qualityNote(const StreamSettings& settings);
    static std::string bitrateSummary(const StreamSettings& settings);
    static std::string gamesNote(const StreamSettings& settings);
    // The frame rates offered now: 30 and 60, and 120 on a screen that shows it.
    static std::vector<int> frameRates();

    void sync();
    AdvancedStreamSheet* sheet() const { return sheet_; }

private:

    BoxController& box_;
    SegmentedPicker* preset_;
    QLabel* qualityNote_;
    SegmentedPicker* showAs_;
    PopupPicker* resolution_;
    PopupPicker* frameRate_;
    PopupPicker* mouse_;
    QLabel* autoNote_;
    QLabel* gamesNote_;
    QCheckBox* switches_[4];
    QLabel* summary_;
    SegmentedPicker* overlay_;
    SegmentedPicker* position_;
    AdvancedStreamSheet* sheet_ = nullptr;
};

} // namespace corvane
