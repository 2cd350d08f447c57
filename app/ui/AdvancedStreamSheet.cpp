#include "app/ui/AdvancedStreamSheet.hpp"

#include "app/ui/SettingsEdit.hpp"

#include "app/controller/BoxController.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/ui/Pickers.hpp"
#include "app/ui/SettingsPage.hpp"
#include "app/ui/TextStyle.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace corvane {
namespace {

using S = StreamSettings;

} // namespace

std::string AdvancedStreamSheet::automaticLabel(const StreamSettings& settings) {
    return "Automatic (" + std::to_string(settings.automaticBitrateKbps() / 1000) + " Mbps)";
}

AdvancedStreamSheet::AdvancedStreamSheet(BoxController& box, QWidget* parent) : QDialog(parent), box_(box) {
    setObjectName("advancedStream");
    setWindowModality(Qt::WindowModal);
    setWindowTitle("Advanced stream options");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSizeConstraint(QLayout::SetFixedSize);
    auto* page = new SettingsPage(this);
    column->addWidget(page);
    auto* title = new QLabel("Advanced stream options", page);
    setTextStyle(title, TextStyle::title3, QFont::DemiBold);
    page->layout()->addWidget(title);

    const auto write = [this](auto change, bool toCustom) { editSettings(box_, change, toCustom); };
    page->addSection("Picture");
    bitrate_ = new PopupPicker(300);
    connect(bitrate_, &PopupPicker::chosen, this, [write](int value) { write([value](S& s) { s.bitrateMbps = value; }, false); });
    page->addRow("Bitrate", bitrate_);
    codec_ = new PopupPicker(300);
    connect(codec_, &PopupPicker::chosen, this,
            [write](int value) { write([value](S& s) { s.codec = static_cast<S::Codec>(value); }, false); });
    page->addRow("Video codec", codec_);
    hdr_ = new QCheckBox("HDR (when this display supports it)");
    connect(hdr_, &QCheckBox::clicked, this, [write](bool on) { write([on](S& s) { s.hdr = on; }, false); });
    page->addRow("", hdr_);
    yuv444_ = new QCheckBox("Full color detail (4:4:4, when supported)");
    connect(yuv444_, &QCheckBox::clicked, this, [write](bool on) { write([on](S& s) { s.yuv444 = on; }, true); });
    page->addRow("", yuv444_);
    page->addNote("Automatic bitrate scales with resolution and frame rate; the Thunderbolt cable has room for much more "
                  "than games need. HDR needs an HDR game or Windows HDR content and uses HEVC or AV1. 4:4:4 makes "
                  "small text crisper.");
    page->addDivider();
    page->addSection("Sound and timing");
    audio_ = new PopupPicker(300);
    connect(audio_, &PopupPicker::chosen, this,
            [write](int value) { write([value](S& s) { s.audio = static_cast<S::AudioChannels>(value); }, false); });
    page->addRow("Audio", audio_);
    vsync_ = new QCheckBox("V-Sync (no tearing)");
    connect(vsync_, &QCheckBox::clicked, this, [write](bool on) { write([on](S& s) { s.vsync = on; }, false); });
    page->addRow("", vsync_);
    framePacing_ = new QCheckBox("Frame pacing (smoothest motion, adds a little delay)");
    connect(framePacing_, &QCheckBox::clicked, this, [write](bool on) { write([on](S& s) { s.framePacing = on; }, true); });
    page->addRow("", framePacing_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* done = new QPushButton("Done", page);
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, [this] { box_.setShowAdvancedStream(false); });
    buttons->addWidget(done);
    static_cast<QVBoxLayout*>(page->layout())->addLayout(buttons);
    // Escape or the close button end the sheet too; the flag follows.
    connect(this, &QDialog::rejected, this, [this] { box_.setShowAdvancedStream(false); });

    connect(&box_, &BoxController::changed, this, &AdvancedStreamSheet::sync);
    sync();
}

void AdvancedStreamSheet::sync() {
    const S& s = box_.settings();
    std::vector<Choice> rates;
    for (int rate : kBitrates)
        rates.push_back({rate == 0 ? QString::fromStdString(automaticLabel(s)) : QString::number(rate) + " Mbps", rate});
    bitrate_->setChoices(rates, s.bitrateMbps, QString::number(s.bitrateMbps) + " Mbps");
    codec_->setChoices({{"Automatic", int(S::Codec::automatic)}, {"H.264", int(S::Codec::h264)},
                        {"HEVC (H.265)", int(S::Codec::hevc)}, {"AV1", int(S::Codec::av1)}},
                       int(s.codec));
    audio_->setChoices({{"Stereo", int(S::AudioChannels::stereo)}, {"5.1 surround", int(S::AudioChannels::surround51)},
                        {"7.1 surround", int(S::AudioChannels::surround71)}},
                       int(s.audio));
    const std::pair<QCheckBox*, bool> boxes[] = {{hdr_, s.hdr}, {yuv444_, s.yuv444}, {vsync_, s.vsync}, {framePacing_, s.framePacing}};
    for (const auto& [check, on] : boxes) {
        const QSignalBlocker blocker(check);
        check->setChecked(on);
    }
}

} // namespace corvane
