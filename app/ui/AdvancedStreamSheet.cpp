#include "app/ui/AdvancedStreamSheet.hpp"

#include "app/ui/SettingsEdit.hpp"

#include "app/controller/BoxController.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/ui/Pickers.hpp"
#include "app/ui/ScreenFit.hpp"
#include "app/ui/SettingsPage.hpp"
#include "app/ui/StreamAbilities.hpp"
#include "app/ui/TextStyle.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>

namespace corvane {
namespace {

using S = StreamSettings;

// The codec picker's choices, in their order.
const std::pair<S::Codec, const char*> kCodecs[] = {
    {S::Codec::automatic, "Automatic"}, {S::Codec::h264, "H.264"}, {S::Codec::hevc, "HEVC (H.265)"}, {S::Codec::av1, "AV1"}};

// A control with the reason it cannot be used under it, both in the row's control column.
QVBoxLayout* withReason(QWidget* control, QLabel*& reason) {
    auto* column = new QVBoxLayout;
    column->setSpacing(4);
    column->addWidget(control);
    reason = new QLabel;
    reason->setTextFormat(Qt::PlainText);
    reason->setWordWrap(true);
    reason->setFixedWidth(SettingsPage::kControlWidth);
    setTextStyle(reason, TextStyle::caption);
    setSecondary(reason);
    column->addWidget(reason);
    return column;
}

} // namespace

QString AdvancedStreamSheet::codecReason(const StreamSettings& settings) {
    QStringList missing;
    for (const auto& [codec, label] : kCodecs)
        if (!StreamAbilities::decodes(codec)) missing << label;
    if (missing.isEmpty()) return {};
    QString text = missing.size() == 1 ? missing.front() + " is not available: this computer cannot decode it."
                                       : missing.join(" and ") + " are not available: this computer cannot decode them.";
    // The stream window falls back from AV1 to HEVC; say so where that is what the stored choice gets.
    if (settings.codec == S::Codec::av1 && !StreamAbilities::decodes(S::Codec::av1))
        text += " Windows streams in HEVC (H.265) instead.";
    return text;
}

QString AdvancedStreamSheet::hdrReason() {
    return StreamAbilities::hdrOutput ? QString() : QString("Not available: X11 has no HDR output, so streams are SDR.");
}

std::string AdvancedStreamSheet::automaticLabel(const StreamSettings& settings) {
    return "Automatic (" + std::to_string(settings.automaticBitrateKbps() / 1000) + " Mbps)";
}

AdvancedStreamSheet::AdvancedStreamSheet(BoxController& box, QWidget* parent) : QDialog(parent), box_(box) {
    setObjectName("advancedStream");
    setWindowModality(Qt::WindowModal);
    setWindowTitle("Advanced stream options");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    auto* page = new SettingsPage;
    // As tall as its content up to the screen's free area; past that it scrolls.
    scroll_ = ScreenFit::scrollArea(page);
    column->addWidget(scroll_);
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
    QWidget* codecRow = page->addRow("Video codec", withReason(codec_, codecReason_));
    // The title stays level with the picker, above the reason.
    auto* codecTitle = codecRow->findChild<QLabel*>("rowLabel");
    codecTitle->setFixedHeight(codec_->sizeHint().height());
    codecRow->layout()->setAlignment(codecTitle, Qt::AlignTop);
    hdr_ = new QCheckBox("HDR (when this display supports it)");
    connect(hdr_, &QCheckBox::clicked, this, [write](bool on) { write([on](S& s) { s.hdr = on; }, false); });
    page->addRow("", withReason(hdr_, hdrReason_));
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
    fit();
}

void AdvancedStreamSheet::fit() {
    ScreenFit::fit(*this, *scroll_, SettingsPage::kWidth);
}

void AdvancedStreamSheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Once framed, the frame's real size is known.
    QTimer::singleShot(0, this, [this] { fit(); });
}

void AdvancedStreamSheet::sync() {
    const S& s = box_.settings();
    std::vector<Choice> rates;
    for (int rate : kBitrates)
        rates.push_back({rate == 0 ? QString::fromStdString(automaticLabel(s)) : QString::number(rate) + " Mbps", rate});
    bitrate_->setChoices(rates, s.bitrateMbps, QString::number(s.bitrateMbps) + " Mbps");
    std::vector<Choice> codecs;
    for (const auto& [codec, label] : kCodecs) codecs.push_back({label, int(codec), StreamAbilities::decodes(codec)});
    codec_->setChoices(codecs, int(s.codec));
    codecReason_->setText(codecReason(s));
    codecReason_->setVisible(!codecReason_->text().isEmpty());
    // Without HDR output the switch shows what streams get; the stored choice stays for a desktop that has it.
    hdr_->setEnabled(StreamAbilities::hdrOutput);
    hdrReason_->setText(hdrReason());
    hdrReason_->setVisible(!hdrReason_->text().isEmpty());
    audio_->setChoices({{"Stereo", int(S::AudioChannels::stereo)}, {"5.1 surround", int(S::AudioChannels::surround51)},
                        {"7.1 surround", int(S::AudioChannels::surround71)}},
                       int(s.audio));
    const std::pair<QCheckBox*, bool> boxes[] = {{hdr_, s.hdr && StreamAbilities::hdrOutput}, {yuv444_, s.yuv444}, {vsync_, s.vsync}, {framePacing_, s.framePacing}};
    for (const auto& [check, on] : boxes) {
        const QSignalBlocker blocker(check);
        check->setChecked(on);
    }
}

} // namespace corvane
