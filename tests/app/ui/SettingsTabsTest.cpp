#include "app/ui/AdvancedStreamSheet.hpp"
#include "app/ui/ControllersTab.hpp"
#include "app/ui/GeneralTab.hpp"
#include "app/ui/Pickers.hpp"
#include "app/ui/SharingTab.hpp"
#include "app/ui/StreamTab.hpp"
#include "app/ui/UpdatesTab.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QAbstractButton>
#include <QButtonGroup>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <algorithm>

namespace corvane {
namespace {

using S = StreamSettings;

template <class T> T* child(QWidget& parent, const QString& text) {
    for (auto* widget : parent.findChildren<T*>())
        if (widget->text() == text) return widget;
    return nullptr;
}

class SettingsTabsTest : public test::UiFixture {
protected:
    void screen(double fps) {
        S::setScreenSource([fps]() -> std::optional<S::MainScreen> { return S::MainScreen{1512, 982, 2, fps}; });
    }
    ~SettingsTabsTest() override { S::setScreenSource({}); }
};

TEST_F(SettingsTabsTest, BitrateSummaryAndAutomaticLabel) {
    const auto with = [](auto change) { S s; change(s); return s; };
    const struct { S settings; const char* summary; const char* automatic; } rows[] = {
        {S{}, "Bitrate: 49 Mbps", "Automatic (49 Mbps)"},
        // HDR raises the rate it asks for, but X11 shows none: the summary does not claim it.
        {with([](S& s) { s.hdr = true; }), "Bitrate: 62 Mbps", "Automatic (62 Mbps)"},
        {with([](S& s) { s.fps = 30; }), "Bitrate: 24 Mbps", "Automatic (24 Mbps)"},
        {with([](S& s) { s.size = S::Size::qhd, s.fps = 120, s.yuv444 = s.hdr = true; }), "Bitrate: 250 Mbps", "Automatic (250 Mbps)"},
        {with([](S& s) { s.bitrateMbps = 150; }), "Bitrate: 150 Mbps", "Automatic (49 Mbps)"},
        // A stored value far past any choice: held, no overflow.
        {with([](S& s) { s.bitrateMbps = 2147483647; }), "Bitrate: 1000 Mbps", "Automatic (49 Mbps)"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(StreamTab::bitrateSummary(row.settings), row.summary + std::string(". These changes apply the next time Windows opens."));
        EXPECT_EQ(AdvancedStreamSheet::automaticLabel(row.settings), row.automatic);
    }
}

// AV1 (the engine decodes none) and HDR (X11 shows none) are offered as unavailable, each with its reason;
// the stored choices stay as they are, whatever else is changed.
TEST_F(SettingsTabsTest, TheAdvancedSheetShowsWhatThisComputerCannotHave) {
    S stored = box->settings();
    stored.codec = S::Codec::av1, stored.hdr = true;
    box->setSettings(stored);
    AdvancedStreamSheet sheet(*box, nullptr);
    auto* codec = sheet.findChildren<PopupPicker*>().at(1);
    EXPECT_EQ(codec->currentText(), "AV1");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(qobject_cast<QStandardItemModel*>(codec->model())->item(i)->isEnabled(), i < 3) << i;
    auto* hdr = child<QCheckBox>(sheet, "HDR (when this display supports it)");
    EXPECT_FALSE(hdr->isEnabled() || hdr->isChecked());
    EXPECT_TRUE(child<QLabel>(sheet, "AV1 is not available: this computer cannot decode it. Windows streams in HEVC (H.265) instead."));
    EXPECT_TRUE(child<QLabel>(sheet, "Not available: X11 has no HDR output, so streams are SDR."));
    child<QCheckBox>(sheet, "V-Sync (no tearing)")->click();
    EXPECT_TRUE(box->settings().codec == S::Codec::av1 && box->settings().hdr && box->settings().vsync != stored.vsync);
    EXPECT_EQ(S::load(*defaults).codec, S::Codec::av1);
    // H.264 is picked; AV1 cannot be picked back, and the reason no longer speaks of a fallback.
    Q_EMIT codec->activated(1), codec->activated(3);
    EXPECT_EQ(box->settings().codec, S::Codec::h264);
    EXPECT_TRUE(child<QLabel>(sheet, "AV1 is not available: this computer cannot decode it."));
}

TEST_F(SettingsTabsTest, PresetsSmoothByScreenAndFallBackToCustom) {
    StreamTab tab(*box);
    auto* preset = tab.findChildren<SegmentedPicker*>().at(0);
    for (double fps : {60.0, 120.0}) {
        screen(fps);
        tab.sync();
        preset->group()->button(0)->click();  // Smooth
        EXPECT_EQ(box->settings().quality, S::Quality::smooth);
        EXPECT_EQ(box->settings().fps, fps > 119 ? 120 : 60);
        EXPECT_TRUE(box->settings().framePacing);
    }
    preset->group()->button(1)->click();  // Balanced
    auto* resolution = tab.findChildren<PopupPicker*>().at(0);
    resolution->setCurrentIndex(1);
    Q_EMIT resolution->activated(1);
    EXPECT_EQ(box->settings().size, S::Size::qhd);
    EXPECT_EQ(box->settings().quality, S::Quality::custom);
    EXPECT_TRUE(child<QLabel>(tab, "Your own resolution and frame rate."));
    // A direct switch keeps the preset; the frame-rate list follows the screen.
    preset->group()->button(1)->click();
    child<QCheckBox>(tab, "Match the window's shape (no black bars)")->click();
    EXPECT_EQ(box->settings().quality, S::Quality::balanced);
    screen(60);
    EXPECT_EQ(StreamTab::frameRates(), (std::vector<int>{30, 60}));
    screen(120);
    EXPECT_EQ(StreamTab::frameRates(), (std::vector<int>{30, 60, 120}));
    // "Off" disables the position and keeps the detail flag.
    auto* overlay = tab.findChildren<SegmentedPicker*>().at(2);
    auto* position = tab.findChildren<SegmentedPicker*>().at(3);
    overlay->group()->button(2)->click();
    overlay->group()->button(0)->click();
    EXPECT_FALSE(position->isEnabled());
    EXPECT_TRUE(box->settings().detailedStats);
}

TEST_F(SettingsTabsTest, GeneralRowsFollowTheBox) {
    GeneralTab tab(*box);
    auto* forget = child<QPushButton>(tab, "Forget This Box and Pair Again");
    auto* wake = child<QPushButton>(tab, "Wake Box Now");
    auto* restart = child<QPushButton>(tab, "Restart Box...");
    setBox({.wakeMACs = {"aa:bb:cc:dd:ee:ff"}});
    EXPECT_TRUE(child<QLabel>(tab, "No box connected"));
    EXPECT_TRUE(child<QLabel>(tab, "Connect the box to change its sleep setting (needs box software 0.2.0 or newer)."));
    EXPECT_FALSE(forget->isEnabled());
    EXPECT_TRUE(wake->isEnabled());
    EXPECT_FALSE(restart->isEnabledTo(&tab));
    setBox({.boxFound = true, .statusSupported = false, .boxName = "Den", .wakeMACs = {"aa:bb:cc:dd:ee:ff"}});
    EXPECT_TRUE(forget->isEnabled());
    EXPECT_FALSE(wake->isEnabled());
    EXPECT_FALSE(restart->isEnabledTo(&tab));
    setBox({.boxFound = true, .boxName = "Den"});
    EXPECT_TRUE(restart->isEnabledTo(&tab));
    child<QAbstractButton>(tab, "Dark")->click();
    EXPECT_EQ(box->settings().appearance, S::Appearance::dark);
    child<QCheckBox>(tab, "Show Corvane in the tray")->click();
    EXPECT_FALSE(S::menuBarEnabled(*defaults));
}

TEST_F(SettingsTabsTest, ControllersDriverStatus) {
    ControllersTab tab(*box);
    EXPECT_TRUE(child<QLabel>(tab, "No controllers connected"));
    EXPECT_EQ(ControllersTab::driverStatus(*box), "Connect the box to check");
    AgentClient::Info info;
    setBox({.boxFound = true, .boxInfo = info});
    EXPECT_EQ(ControllersTab::driverStatus(*box), "Unknown (update the box software)");
    info.gamepadDriver = false;
    setBox({.boxFound = true, .boxInfo = info});
    EXPECT_EQ(ControllersTab::driverStatus(*box), "Not installed");
    auto* install = child<QPushButton>(tab, "Install Controller Driver");
    EXPECT_TRUE(install->isVisibleTo(&tab));
    setUpdates(UpdateManagerProbe::State{.status = UpdateManager::Status::checking()});
    EXPECT_FALSE(install->isEnabled());
    info.gamepadDriver = true;
    setBox({.boxFound = true, .boxInfo = info});
    EXPECT_EQ(ControllersTab::driverStatus(*box), "Installed");
    EXPECT_FALSE(install->isVisibleTo(&tab));
}

TEST_F(SettingsTabsTest, UpdatesRows) {
    UpdatesTab tab(*box);
    EXPECT_EQ(UpdatesTab::boxAgentDetail(*box), "Box not connected");
    EXPECT_EQ(UpdatesTab::hostDetail(*box), "Box not connected");
    AgentClient::Info info;
    info.agentVersion = "0.1.0";
    setBox({.boxInfo = info});
    setUpdates(UpdateManagerProbe::State{.boxNeedsSetup = true});
    EXPECT_EQ(UpdatesTab::boxAgentDetail(*box), "Version 0.1.0, needs a one-time update on the box");
    EXPECT_EQ(UpdatesTab::hostDetail(*box), "Version unknown");
    setUpdates(UpdateManagerProbe::State{.status = UpdateManager::Status::updating("Waiting for the box software to restart..."),
                                  .batchStep = "1 of 2",
                                  .boxNeedsSetup = true});
    EXPECT_EQ(*UpdatesTab::statusLine(box->updates()), "Update 1 of 2: Waiting for the box software to restart...");
    EXPECT_TRUE(child<QPushButton>(tab, "Show Steps")->isEnabled());  // usable while busy
    EXPECT_FALSE(tab.findChild<QPushButton*>("checkForUpdates")->isEnabled());
    setUpdates(UpdateManagerProbe::State{.appUpdate = UpdateManager::AppUpdate{"2.0", {}, {}},
                                  .boxUpdates = {{"host", "1.1"}, {"agent", "0.3"}},
                                  .boxHostVersion = "1.0"});
    EXPECT_EQ(tab.findChild<QPushButton*>("updateAll")->text(), "Update All (3)");
    EXPECT_TRUE(child<QPushButton>(tab, "Update to 1.1"));
    EXPECT_TRUE(child<QPushButton>(tab, "Update to 0.3"));
    EXPECT_EQ(UpdatesTab::hostDetail(*box), "Version 1.0");
    setUpdates(UpdateManagerProbe::State{.appUpdate = UpdateManager::AppUpdate{"2.0", {}, {}}});
    EXPECT_EQ(tab.findChild<QPushButton*>("updateAll")->text(), "Update All");
    setUpdates(UpdateManagerProbe::State{});
    EXPECT_FALSE(tab.findChild<QPushButton*>("updateAll")->isVisibleTo(&tab));
    EXPECT_FALSE(UpdatesTab::statusLine(box->updates()));
}

TEST_F(SettingsTabsTest, ReceiveFolderThroughTheFolderPanel) {
    SharingTab tab(*box);
    tab.show();
    auto* change = child<QPushButton>(tab, "Change...");
    auto* row = tab.findChild<QLabel*>("folderName");
    const auto shown = [&tab] {
        return QTest::qWaitFor([&tab] { return tab.folderPanel() && tab.folderPanel()->isVisible(); });
    };
    // Entered in one go: a completer popping up late could take the Return.
    const auto chosen = dir.path() / "Landing & Co";
    std::filesystem::create_directories(chosen);
    change->click();
    ASSERT_TRUE(shown());
    auto* edit = tab.folderPanel()->findChild<QLineEdit*>("fileNameEdit");
    edit->setText(QString::fromStdString(chosen.string()));
    if (edit->completer() && edit->completer()->popup()) edit->completer()->popup()->hide();
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(box->settings().receiveFolder, chosen.string());
    EXPECT_EQ(row->text().toStdString(), "Landing & Co");
    EXPECT_TRUE(child<QPushButton>(tab, "Use Downloads")->isVisibleTo(&tab));
    // A second click raises the panel shown rather than opening another; Cancel changes nothing.
    change->click();
    ASSERT_TRUE(shown());
    QFileDialog* panel = tab.folderPanel();
    change->click();
    EXPECT_EQ(tab.folderPanel(), panel);
    const auto panels = std::ranges::count_if(QApplication::topLevelWidgets(),
                                              [](QWidget* w) { return qobject_cast<QFileDialog*>(w) && w->isVisible(); });
    EXPECT_EQ(panels, 1);
    QTest::mouseClick(panel->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&tab] { return !tab.folderPanel(); }));
    EXPECT_EQ(box->settings().receiveFolder, chosen.string());
    EXPECT_EQ(row->text().toStdString(), "Landing & Co");
}

} // namespace
} // namespace corvane
