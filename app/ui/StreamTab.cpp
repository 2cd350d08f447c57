#include "app/ui/StreamTab.hpp"

#include "app/ui/SettingsEdit.hpp"

#include "app/controller/BoxController.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/ui/AdvancedStreamSheet.hpp"
#include "app/ui/Pickers.hpp"
#include "app/ui/StreamAbilities.hpp"
#include "app/ui/WrappingCheckBox.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>

namespace corvane {
namespace {

using S = StreamSettings;

QString q(const std::string& text) { return QString::fromStdString(text); }

} // namespace

std::string StreamTab::qualityNote(const StreamSettings& settings) {
    switch (settings.quality) {
    case S::Quality::smooth:
        return "1920 x 1080 at the highest frame rate this display supports, with frame pacing. Best for fast games.";
    case S::Quality::balanced: return "1920 x 1080 at 60 FPS. A good match for most games and apps.";
    case S::Quality::sharp:
        return "This computer's full resolution at 60 FPS with full color detail (4:4:4 when supported). Best for text "
               "and desktop work.";
    case S::Quality::custom: return "Your own resolution and frame rate.";
    }
    return {};
}

std::string StreamTab::bitrateSummary(const StreamSettings& settings) {
    // The stored rate is held to its maximum before it is multiplied, so a huge value cannot overflow.
    const std::int64_t kbps = settings.bitrateKbps();
    return "Bitrate: " + std::to_string(kbps / 1000) + " Mbps" + (settings.hdr && StreamAbilities::hdrOutput ? ", HDR on" : "") +
           ". These changes apply the next time Windows opens.";
}

std::string StreamTab::gamesNote(const StreamSettings& settings) {
    return "Captures the pointer for games with mouse look. Press " + settings.releaseMouseKey.display() + " to release.";
}

std::vector<int> StreamTab::frameRates() {
    const auto screen = S::mainScreen();
    if (screen && screen->maximumFramesPerSecond >= 120) return {30, 60, 120};
    return {30, 60};
}

StreamTab::StreamTab(BoxController& box, QWidget* parent) : SettingsPage(parent), box_(box) {
    addSection("Quality");
    preset_ = new SegmentedPicker({{"Smooth", int(S::Quality::smooth)}, {"Balanced", int(S::Quality::balanced)},
                                   {"Sharp", int(S::Quality::sharp)}, {"Custom", int(S::Quality::custom)}},
                                  360);
    connect(preset_, &SegmentedPicker::chosen, this,
            [this](int value) { editSettings(box_, [value](S& s) { s.applyQuality(static_cast<S::Quality>(value)); }); });
    addRow("Preset", preset_);
    qualityNote_ = addNote("");
    addDivider();

    addSection("Stream");
    showAs_ = new SegmentedPicker({{"Window", int(S::DisplayMode::window)}, {"Full screen", int(S::DisplayMode::fullscreen)}}, 300);
    connect(showAs_, &SegmentedPicker::chosen, this,
            [this](int value) { editSettings(box_, [value](S& s) { s.displayMode = static_cast<S::DisplayMode>(value); }); });
    addRow("Show as", showAs_);
    resolution_ = new PopupPicker(300);
    connect(resolution_, &PopupPicker::chosen, this,
            [this](int value) { editSettings(box_, [value](S& s) { s.size = static_cast<S::Size>(value); }, true); });
    addRow("Resolution", resolution_);
    frameRate_ = new PopupPicker(300);
    connect(frameRate_, &PopupPicker::chosen, this, [this](int value) { editSettings(box_, [value](S& s) { s.fps = value; }, true); });
    addRow("Frame rate", frameRate_);
    mouse_ = new PopupPicker(300);
    connect(mouse_, &PopupPicker::chosen, this,
            [this](int value) { editSettings(box_, [value](S& s) { s.mouse = static_cast<S::MouseMode>(value); }); });
    addRow("Mouse", mouse_);
    autoNote_ = addNote("The pointer is captured while a game hides Windows' pointer (mouse look) and moves freely otherwise.");
    gamesNote_ = addNote("");
    const char* switchTexts[] = {"Open Windows automatically when the box is plugged in",
                                 "Match the window's shape (no black bars)",
                                 "Super key acts as Ctrl (copy and paste with Super + C and Super + V)",
                                 "Send desktop shortcuts to Windows in full screen"};
    bool S::*fields[] = {&S::autoConnect, &S::matchWindowShape, &S::commandAsControl, &S::sendMacShortcuts};
    for (int i = 0; i < 4; ++i) {
        switches_[i] = new WrappingCheckBox(switchTexts[i], kControlWidth);
        bool S::*field = fields[i];
        connect(switches_[i], &QCheckBox::clicked, this, [this, field](bool on) { editSettings(box_, [field, on](S& s) { s.*field = on; }); });
        addRow("", switches_[i]);
    }
    auto* advanced = new QPushButton("Advanced...");
    advanced->setObjectName("advanced");
    connect(advanced, &QPushButton::clicked, this, [this] { box_.setShowAdvancedStream(true); });
    addRow("", advanced);
    summary_ = addNote("");
    summary_->setObjectName("bitrateSummary");
    addDivider();

    addSection("Performance overlay");
    overlay_ = new SegmentedPicker({{"Off", int(S::OverlayMode::off)}, {"FPS and latency", int(S::OverlayMode::compact)},
                                    {"Detailed", int(S::OverlayMode::detailed)}},
                                   300);
    connect(overlay_, &SegmentedPicker::chosen, this,
            [this](int value) { editSettings(box_, [value](S& s) { s.setOverlayMode(static_cast<S::OverlayMode>(value)); }); });
    addRow("Show", overlay_);
    position_ = new SegmentedPicker({{"Top left", int(StatsOverlayPosition::topLeft)},
                                     {"Top center", int(StatsOverlayPosition::topCenter)},
                                     {"Top right", int(StatsOverlayPosition::topRight)}},
                                    300);
    connect(position_, &SegmentedPicker::chosen, this,
            [this](int value) { editSettings(box_, [value](S& s) { s.statsPosition = static_cast<StatsOverlayPosition>(value); }); });
    addRow("Position", position_);
    addNote("FPS counts the new frames the box sends each second. Latency is the round trip to the box over the cable. "
            "Detailed adds a 30 second FPS graph, the video settings and the box's GPU, processor and temperature. "
            "Changes show right away.");

    connect(&box_, &BoxController::changed, this, &StreamTab::sync);
    sync();
}

void StreamTab::sync() {
    const S& s = box_.settings();
    preset_->setCurrent(int(s.quality));
    qualityNote_->setText(q(qualityNote(s)));
    showAs_->setCurrent(int(s.displayMode));
    std::vector<Choice> sizes;
    for (S::Size size : {S::Size::hd, S::Size::qhd, S::Size::matchScreen, S::Size::matchScreenSharp})
        sizes.push_back({q(S::label(size)), int(size)});
    resolution_->setChoices(sizes, int(s.size));
    std::vector<Choice> rates;
    for (int rate : frameRates()) rates.push_back({QString::number(rate) + " FPS", rate});
    frameRate_->setChoices(rates, s.fps, QString::number(s.fps) + " FPS");
    mouse_->setChoices({{"Desktop (pointer)", int(S::MouseMode::desktop)},
                        {"Games (captured)", int(S::MouseMode::games)},
                        {"Automatic (captured in games)", int(S::MouseMode::automatic)}},
                       int(s.mouse));
    autoNote_->parentWidget()->setVisible(s.mouse == S::MouseMode::automatic);
    gamesNote_->parentWidget()->setVisible(s.mouse == S::MouseMode::games);
    gamesNote_->setText(q(gamesNote(s)));
    const bool values[] = {s.autoConnect, s.matchWindowShape, s.commandAsControl, s.sendMacShortcuts};
    for (int i = 0; i < 4; ++i) {
        const QSignalBlocker blocker(switches_[i]);
        switches_[i]->setChecked(values[i]);
    }
    summary_->setText(q(bitrateSummary(s)));
    overlay_->setCurrent(int(s.overlayMode()));
    position_->setCurrent(int(s.statsPosition));
    position_->setEnabled(s.showStats);

    if (box_.showAdvancedStream() && !sheet_) {
        sheet_ = new AdvancedStreamSheet(box_, this);
        sheet_->open();
    } else if (!box_.showAdvancedStream() && sheet_) {
        sheet_->hide();
        sheet_->deleteLater();
        sheet_ = nullptr;
    }
}

} // namespace corvane
