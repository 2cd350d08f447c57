#include "app/ui/GeneralTab.hpp"

#include "app/controller/BoxController.hpp"
#include "app/controller/Diagnostics.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/ui/Acknowledgements.hpp"
#include "app/ui/ElidedLabel.hpp"
#include "app/ui/Pickers.hpp"
#include "app/ui/PlainText.hpp"
#include "app/ui/ShortTime.hpp"
#include "app/ui/TextStyle.hpp"
#include "app/ui/TrayMenu.hpp"
#include "app/ui/WrappingCheckBox.hpp"
#include "platform/defaults/UserDefaults.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>

namespace corvane {
namespace {

const char* const kTrayNote = "With both on, Corvane waits quietly in the tray and opens Windows as soon as the box is plugged "
                              "in. With the tray icon on, closing the Corvane window keeps it running.";
const char* const kNoTrayNote = "This desktop shows no tray. Closing the Corvane window quits Corvane.";

} // namespace

GeneralTab::GeneralTab(BoxController& box, QWidget* parent) : SettingsPage(parent), box_(box) {
    using Appearance = StreamSettings::Appearance;
    addSection("Appearance");
    theme_ = new SegmentedPicker({{"Match System", int(Appearance::system)}, {"Light", int(Appearance::light)},
                                  {"Dark", int(Appearance::dark)}},
                                 300);
    connect(theme_, &SegmentedPicker::chosen, this, [this](int value) {
        StreamSettings settings = box_.settings();
        settings.appearance = static_cast<Appearance>(value);
        box_.setSettings(settings);
    });
    addRow("Theme", theme_);
    addNote("Match System follows your desktop's Light or Dark setting automatically.");
    addDivider();

    addSection("Startup");
    login_ = new WrappingCheckBox("Open Corvane when you log in", kControlWidth);
    connect(login_, &QCheckBox::clicked, this, [this](bool on) { box_.setLaunchAtLogin(on); });
    addRow("", login_);
    menuBar_ = new WrappingCheckBox("Show Corvane in the tray", kControlWidth);
    connect(menuBar_, &QCheckBox::clicked, this, [this](bool on) {
        if (StreamSettings::menuBarEnabled(box_.defaults()) != on) box_.defaults().set(StreamSettings::menuBarKey, {on});
        if (tray_) tray_->syncVisibility();
    });
    addRow("", menuBar_);
    trayNote_ = addNote("");
    addDivider();

    addSection("Box");
    boxName_ = new ElidedLabel;
    boxName_->setObjectName("boxName");
    addRow("Connected to", boxName_);
    sleep_ = new PopupPicker(300);
    connect(sleep_, &PopupPicker::chosen, this, [this](int minutes) { box_.setBoxSleep(minutes); });
    addRow("Sleep when unplugged", sleep_);
    wake_ = new WrappingCheckBox("Wake the box when Corvane looks for it", kControlWidth);
    connect(wake_, &QCheckBox::clicked, this, [this](bool on) {
        StreamSettings settings = box_.settings();
        settings.wakeBox = on;
        box_.setSettings(settings);
    });
    addRow("", wake_);
    auto* wakeRow = new QHBoxLayout;
    wakeRow->setSpacing(10);
    wakeNow_ = new QPushButton("Wake Box Now");
    connect(wakeNow_, &QPushButton::clicked, this, [this] { box_.wakeBoxNow(); });
    wakeRow->addWidget(wakeNow_);
    sent_ = PlainText::label(nullptr);
    setSecondary(sent_);
    wakeRow->addWidget(sent_);
    addRow("", wakeRow);
    sleepNote_ = addNote("");
    auto* powerRow = new QHBoxLayout;
    powerRow->setSpacing(8);
    auto* restart = new QPushButton("Restart Box...");
    connect(restart, &QPushButton::clicked, this, [this] { box_.confirmBoxPower("restart"); });
    auto* shutdown = new QPushButton("Shut Down Box...");
    connect(shutdown, &QPushButton::clicked, this, [this] { box_.confirmBoxPower("shutdown"); });
    powerRow->addWidget(restart);
    powerRow->addWidget(shutdown);
    power_ = addRow("", powerRow);
    forget_ = new QPushButton("Forget This Box and Pair Again");
    connect(forget_, &QPushButton::clicked, this, [this] { box_.forgetBox(); });
    addRow("", forget_);
    addDivider();

    addSection("Support");
    auto* diagnostics = new QPushButton("Save Diagnostics...");
    connect(diagnostics, &QPushButton::clicked, this, [this] { Diagnostics::save(box_, window()); });
    addRow("", diagnostics);
    addNote("Saves one text file with Corvane's logs and settings from this computer and the box, for troubleshooting. "
            "No passwords are included.");
    auto* acknowledgements = new QPushButton("Acknowledgements");
    connect(acknowledgements, &QPushButton::clicked, this, [] { Acknowledgements::show(); });
    addRow("", acknowledgements);

    connect(&box_, &BoxController::changed, this, &GeneralTab::sync);
    sync();
}

void GeneralTab::setTray(TrayMenu* tray) {
    tray_ = tray;
    connect(tray_, &TrayMenu::changed, this, &GeneralTab::sync);
    sync();
}

void GeneralTab::showEvent(QShowEvent* event) {
    SettingsPage::showEvent(event);
    box_.refreshLoginItem();
}

void GeneralTab::sync() {
    const bool tray = tray_ && tray_->available();
    theme_->setCurrent(int(box_.settings().appearance));
    {
        const QSignalBlocker a(login_), b(menuBar_), c(wake_);
        login_->setChecked(box_.launchAtLogin());
        // Where nothing shows an icon the switch stands off, and the stored choice waits for a tray.
        menuBar_->setChecked(tray && StreamSettings::menuBarEnabled(box_.defaults()));
        wake_->setChecked(box_.settings().wakeBox);
    }
    menuBar_->setEnabled(tray);
    trayNote_->setText(tray ? kTrayNote : kNoTrayNote);
    boxName_->setWholeText(box_.boxName() ? PlainText::cut(*box_.boxName(), 80) : QString("No box connected"));
    setSecondary(boxName_, !box_.boxName());

    const auto minutes = box_.boxSleepMinutes();
    std::vector<Choice> choices;
    for (const auto& choice : kSleepChoices) choices.push_back({choice.label, choice.minutes});
    const int shown = minutes ? static_cast<int>(std::clamp<std::int64_t>(*minutes, -1, 1 << 30)) : 30;
    sleep_->setChoices(choices, shown, QString::number(shown) + " min");
    sleep_->setEnabled(minutes.has_value());
    sleepNote_->setText(minutes ? "The box never sleeps while this computer is plugged in. After it is unplugged, it sleeps once "
                                  "idle for the time above. Corvane wakes it over your home network (the box must be on "
                                  "the same network, by Ethernet for best results)."
                                : "Connect the box to change its sleep setting (needs box software 0.2.0 or newer).");

    wakeNow_->setEnabled(!box_.wakeMACs().empty() && !box_.boxFound());
    sent_->setVisible(box_.lastWakeSent().has_value());
    if (box_.lastWakeSent()) sent_->setText("Sent " + shortTime(*box_.lastWakeSent()));
    power_->setEnabled(box_.boxFound() && box_.statusSupported());
    forget_->setEnabled(box_.boxFound());
}

} // namespace corvane
