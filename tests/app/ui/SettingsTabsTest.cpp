// Every text of every settings tab and the advanced sheet as a user reads it, in the states that change it
// ("~" dimmed, " (off)" cannot be used, a pop-up's current choice in brackets), and what each control does.
#include "app/services/ShortcutRecorder.hpp"
#include "app/services/ShownText.hpp"
#include "app/sharing/SharingManager.hpp"
#include "app/ui/ControllersTab.hpp"
#include "app/ui/GeneralTab.hpp"
#include "app/ui/Pickers.hpp"
#include "app/ui/SharingTab.hpp"
#include "app/ui/ShortTime.hpp"
#include "app/ui/ShortcutsTab.hpp"
#include "app/ui/StreamTab.hpp"
#include "app/ui/UpdatesTab.hpp"
#include "platform/system/SystemInfo.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QAbstractItemView>
#include <QCheckBox>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStandardItemModel>
#include <gmock/gmock.h>
#include <set>

namespace corvane {
namespace {

using S = StreamSettings;
using Status = UpdateManager::Status;
using test::shownTexts;
using testing::HasSubstr;

template <class T = QAbstractButton> T* child(QWidget& parent, const QString& text) {
    for (auto* widget : parent.findChildren<T*>())
        if (widget->text() == text) return widget;
    ADD_FAILURE() << text.toStdString();
    return nullptr;
}

class SettingsTabsTest : public test::UiFixture {
protected:
    void screen(double fps) { S::setScreenSource([fps] { return std::optional(S::MainScreen{1512, 982, 2, fps}); }); }
    ~SettingsTabsTest() override { S::setScreenSource({}); }
};

TEST_F(SettingsTabsTest, GeneralTabFollowsTheBox) {
    SettingsWindow window(*box);
    EXPECT_EQ(window.windowTitle(), "Corvane Settings");
    QStringList tabs;
    for (int i = 0; i < window.tabs()->count(); ++i) tabs << window.tabs()->tabText(i);
    EXPECT_EQ(tabs.join(", "), "General, Stream, Controllers, Sharing, Shortcuts, Updates");
    QWidget& tab = *window.page(0);
    EXPECT_EQ(shownTexts(tab),
              "Appearance\nTheme:\nMatch System\nLight\nDark\n~Match System follows your desktop's Light or Dark setting automatically.\n"
              "Startup\nOpen Corvane when you log in\nShow Corvane in the tray (off)\n~This desktop shows no tray. "
              "Closing the Corvane window quits Corvane.\n"
              "Box\nConnected to:\n~No box connected\nSleep when unplugged:\n"
              "Never, After 5 minutes, After 15 minutes, [After 30 minutes], After 1 hour, After 2 hours (off)\n"
              "Wake the box when Corvane looks for it\nWake Box Now (off)\n"
              "~Connect the box to change its sleep setting (needs box software 0.2.0 or newer).\nRestart Box... (off)\n"
              "Shut Down Box... (off)\nForget This Box and Pair Again (off)\nSupport\nSave Diagnostics...\n~Saves one text file with "
              "Corvane's logs and settings from this computer and the box, for troubleshooting. No passwords are included.\n"
              "Acknowledgements\n");
    // No box, its wake addresses known: "Wake Box Now" keeps waking for two minutes and says when it sent.
    setBox({.wakeMACs = {"aa:bb:cc:dd:ee:ff"}});
    child(tab, "Wake Box Now")->click();
    EXPECT_EQ(BoxControllerProbe::wakeUntil(*box), clock.uptime() + 120);
    ASSERT_TRUE(QTest::qWaitFor([&] { return box->lastWakeSent().has_value(); }));
    const std::string sent = "~Sent " + shortTime(clock.wallTime()).toStdString() + "\n";
    EXPECT_THAT(shownTexts(tab), HasSubstr("\nWake Box Now\n" + sent));
    // Found, its agent without status requests or sleep setting; then with both.
    setBox({.boxFound = true, .statusSupported = false, .boxName = "Den", .wakeMACs = {"aa:bb:cc:dd:ee:ff"}});
    for (const auto& shown : std::vector<std::string>{"Connected to:\nDen\n", "After 2 hours (off)\n", "\nWake Box Now (off)\n" + sent +
                                                      "~Connect the box", "(off)\nShut Down Box... (off)\nForget This Box and Pair Again\n"})
        EXPECT_THAT(shownTexts(tab), HasSubstr(shown));
    AgentClient::Info info;
    info.settings = AgentClient::BoxSettings{60};
    setBox({.boxFound = true, .boxName = "Den", .boxInfo = info});
    EXPECT_THAT(shownTexts(tab), HasSubstr("[After 1 hour], After 2 hours\nWake the box when Corvane looks for it\nWake Box Now (off)\n" +
                                           sent + "~The box never sleeps while this computer is plugged in. After it is unplugged, it "
                                           "sleeps once idle for the time above. Corvane wakes it over your home network (the box must "
                                           "be on the same network, by Ethernet for best results).\nRestart Box...\nShut Down Box...\n"));
    // Each sleep choice sends its minutes.
    auto* sleep = tab.findChild<PopupPicker*>();
    std::vector<int> minutes;
    QObject::connect(sleep, &PopupPicker::chosen, [&minutes](int value) { minutes.push_back(value); });
    for (int i = 0; i < sleep->count(); ++i) Q_EMIT sleep->activated(i);
    EXPECT_EQ(minutes, (std::vector<int>{0, 5, 15, 30, 60, 120}));
    child(tab, "Dark")->click();
    EXPECT_EQ(box->settings().appearance, S::Appearance::dark);
    // No tray here: the switch stands off and leaves the stored choice as it is.
    child(tab, "Show Corvane in the tray")->click();
    EXPECT_TRUE(S::menuBarEnabled(*defaults));
}

TEST_F(SettingsTabsTest, StreamTabFollowsTheSettings) {
    screen(120);
    StreamTab tab(*box);
    EXPECT_EQ(shownTexts(tab),
              "Quality\nPreset:\nSmooth\nBalanced\nSharp\nCustom\n~1920 x 1080 at 60 FPS. A good match for most games and apps.\n"
              "Stream\nShow as:\nWindow\nFull screen\nResolution:\n"
              "[1920 x 1080], 2560 x 1440, Match this computer (1512 x 982), Match this computer, full resolution (3024 x 1964)\n"
              "Frame rate:\n30 FPS, [60 FPS], 120 FPS\nMouse:\n[Desktop (pointer)], Games (captured), Automatic (captured in games)\n"
              "Open Windows automatically when the box is plugged in\nMatch the window's shape (no black bars)\n"
              "Super key acts as Ctrl (copy and paste with Super + C and Super + V)\nSend desktop shortcuts to Windows in full screen\n"
              "Advanced...\n~Bitrate: 49 Mbps. These changes apply the next time Windows opens.\nPerformance overlay\nShow:\nOff\n"
              "FPS and latency\nDetailed\nPosition:\nTop left (off)\nTop center (off)\nTop right (off)\n~FPS counts the new frames "
              "the box sends each second. Latency is the round trip to the box over the cable. Detailed adds a 30 second FPS graph, "
              "the video settings and the box's GPU, processor and temperature. Changes show right away.\n");
    const std::pair<S::MouseMode, const char*> mice[] = {
        {S::MouseMode::games, "[Games (captured)], Automatic (captured in games)\n~Captures the pointer for games with mouse look. "
                              "Press Ctrl + Alt + Shift + Z to release.\n"},
        {S::MouseMode::automatic, "[Automatic (captured in games)]\n~The pointer is captured while a game hides Windows' pointer "
                                  "(mouse look) and moves freely otherwise.\n"}};
    for (const auto& [mouse, shown] : mice) {
        edit([mouse = mouse](S& s) { s.mouse = mouse; });
        EXPECT_THAT(shownTexts(tab), HasSubstr(shown + std::string("Open Windows automatically")));
    }
    // The rate the next stream asks for, in whole megabits: HDR raises it, but X11 shows none, so it is not claimed; a
    // chosen rate is held to its most, with no overflow.
    for (const auto& [change, mbps] : {std::pair<std::function<void(S&)>, const char*>{[](S& s) { s.hdr = true, s.fps = 30; }, "31"},
                                       {[](S& s) { s.bitrateMbps = 150; }, "150"}, {[](S& s) { s.bitrateMbps = 2147483647; }, "1000"}}) {
        edit(change);
        EXPECT_THAT(shownTexts(tab), HasSubstr("~Bitrate: " + std::string(mbps) + " Mbps. These changes apply the next time Windows opens.\n"));
    }
    const std::pair<const char*, const char*> notes[] = {
        {"Smooth", "1920 x 1080 at the highest frame rate this display supports, with frame pacing. Best for fast games."},
        {"Sharp", "This computer's full resolution at 60 FPS with full color detail (4:4:4 when supported). Best for text and "
                  "desktop work."},
        {"Custom", "Your own resolution and frame rate."}};
    for (const auto& [preset, note] : notes) {
        child(tab, preset)->click();
        EXPECT_THAT(shownTexts(tab), HasSubstr(std::string("Custom\n~") + note + "\nStream\n"));
    }
    // Smooth takes 120 FPS where the screen shows more than 119; the list offers 120 from 120 Hz on.
    for (const auto& [fps, rates] : {std::pair{60.0, std::vector{30, 60}}, {119.9, {30, 60}}, {120.0, {30, 60, 120}}}) {
        screen(fps);
        child(tab, "Smooth")->click();
        EXPECT_EQ(box->settings().fps, fps > 119 ? 120 : 60);
        EXPECT_EQ(StreamTab::frameRates(), rates) << fps;
    }
    // The position can be chosen while the overlay shows; "Off" keeps the detail flag.
    child(tab, "Detailed")->click();
    EXPECT_THAT(shownTexts(tab), HasSubstr("\nTop left\nTop center\nTop right\n"));
    child(tab, "Off")->click();
    EXPECT_TRUE(box->settings().detailedStats);
    // What a preset sets (resolution, frame rate, 4:4:4, frame pacing) turns it to Custom when changed by hand;
    // nothing else does.
    AdvancedStreamSheet sheet(*box, nullptr);
    const auto pick = [](QWidget& in, int picker, int index) { Q_EMIT in.findChildren<PopupPicker*>().at(picker)->activated(index); };
    const std::pair<std::function<void()>, bool> edits[] = {
        {[&] { pick(tab, 0, 1); }, true}, {[&] { pick(tab, 1, 0); }, true}, {[&] { pick(tab, 2, 1); }, false},  // size, rate, mouse
        {[&] { child(tab, "Full screen")->click(); }, false}, {[&] { child(tab, "Detailed")->click(); }, false},
        {[&] { child(tab, "Match the window's shape (no black bars)")->click(); }, false},
        {[&] { pick(sheet, 0, 2); }, false}, {[&] { pick(sheet, 1, 1); }, false}, {[&] { pick(sheet, 2, 1); }, false},
        {[&] { child(sheet, "Full color detail (4:4:4, when supported)")->click(); }, true},
        {[&] { child(sheet, "V-Sync (no tearing)")->click(); }, false},
        {[&] { child(sheet, "Frame pacing (smoothest motion, adds a little delay)")->click(); }, true}};
    for (std::size_t i = 0; i < std::size(edits); ++i) {
        child(tab, "Balanced")->click();
        edits[i].first();
        EXPECT_EQ(box->settings().quality, edits[i].second ? S::Quality::custom : S::Quality::balanced) << i;
    }
}

// AV1 (the engine decodes none) and HDR (X11 shows none) are offered as unavailable, each with its reason;
// the stored choices stay as they are, whatever else is changed.
TEST_F(SettingsTabsTest, TheAdvancedSheetShowsWhatThisComputerCannotHave) {
    AdvancedStreamSheet sheet(*box, nullptr);
    const std::string hdr = "HDR (when this display supports it) (off)\n~Not available: X11 has no HDR output, so streams are SDR.\n";
    EXPECT_EQ(shownTexts(sheet),
              "Advanced stream options\nPicture\nBitrate:\n"
              "[Automatic (49 Mbps)], 20 Mbps, 50 Mbps, 80 Mbps, 100 Mbps, 150 Mbps, 200 Mbps, 300 Mbps\nVideo codec:\n"
              "[Automatic], H.264, HEVC (H.265), AV1\n~AV1 is not available: this computer cannot decode it.\n" + hdr +
              "Full color detail (4:4:4, when supported)\n~Automatic bitrate scales with resolution and frame rate; the Thunderbolt "
              "cable has room for much more than games need. HDR needs an HDR game or Windows HDR content and uses HEVC or AV1. "
              "4:4:4 makes small text crisper.\nSound and timing\nAudio:\n[Stereo], 5.1 surround, 7.1 surround\n"
              "V-Sync (no tearing)\nFrame pacing (smoothest motion, adds a little delay)\nDone\n");
    edit([](S& s) { s.codec = S::Codec::av1, s.hdr = true; });
    EXPECT_THAT(shownTexts(sheet), HasSubstr("Automatic, H.264, HEVC (H.265), [AV1]\n~AV1 is not available: this computer cannot "
                                             "decode it. Windows streams in HEVC (H.265) instead.\n" + hdr));
    child(sheet, "V-Sync (no tearing)")->click();
    EXPECT_EQ(box->settings().codec, S::Codec::av1);
    EXPECT_TRUE(box->settings().hdr);
    EXPECT_EQ(S::load(*defaults).codec, S::Codec::av1);
    // H.264 is picked; AV1 cannot be picked back, and the reason no longer speaks of a fallback.
    auto* codec = sheet.findChildren<PopupPicker*>().at(1);
    Q_EMIT codec->activated(1), codec->activated(3);
    EXPECT_EQ(box->settings().codec, S::Codec::h264);
    EXPECT_THAT(shownTexts(sheet), HasSubstr("\n~AV1 is not available: this computer cannot decode it.\n" + hdr));
}

TEST_F(SettingsTabsTest, ControllersTabFollowsTheDriver) {
    ControllersTab tab(*box);
    EXPECT_EQ(shownTexts(tab),
              "Connected to this computer\n~No controllers connected\n~Pair PlayStation, Xbox and other Bluetooth controllers in "
              "Settings > Bluetooth, or plug them in with USB. They work in Windows while the stream window is in front.\nOptions\n"
              "Each controller is a separate player\nKeep controllers working when the stream window is in the background\n"
              "Swap A/B and X/Y (Nintendo layout)\n~These apply the next time Windows opens.\nController driver on the box\n"
              "Status:\n~Connect the box to check\n~Windows needs this driver to see controllers from this computer (they appear "
              "as Xbox controllers). Installing it ends the current session.\n");
    AgentClient::Info driver[3];
    driver[1].gamepadDriver = false, driver[2].gamepadDriver = true;
    const struct { std::optional<AgentClient::Info> info; bool busy; const char* status; } rows[] = {
        {std::nullopt, false, "~Unknown (update the box software)\n"}, {driver[0], false, "~Unknown (update the box software)\n"},
        {driver[1], false, "~Not installed\nInstall Controller Driver\n"},
        {driver[1], true, "~Not installed\nInstall Controller Driver (off)\n"}, {driver[2], false, "Installed\n"}};
    for (const auto& row : rows) {
        setBox({.boxFound = true, .boxInfo = row.info});
        setUpdates({.status = row.busy ? Status::checking() : Status::idle()});
        EXPECT_THAT(shownTexts(tab), HasSubstr(std::string("\nStatus:\n") + row.status + "~Windows needs"));
    }
    setBox({.boxFound = true, .boxInfo = driver[1]}), setUpdates({});
    // The first step is what the click shows; on a loaded machine the refused request may end the run
    // before the click returns.
    std::vector<Status> statuses;
    QObject listening;  // goes before `statuses` does
    QObject::connect(&box->updates(), &UpdateManager::changed, &listening, [&] { statuses.push_back(box->updates().status()); });
    child(tab, "Install Controller Driver")->click();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), Status::updating("Preparing the controller driver update..."));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !box->updates().isBusy(); }, 10000));
}

TEST_F(SettingsTabsTest, ShortcutsTabRecordsAndResets) {
    ShortcutsTab tab(*box);
    const std::string idle = shownTexts(tab), end = "End session:\nCtrl + Alt + Shift + Q\nReset (off)\n",
                      note = "~Click a shortcut, then press the keys you want. Use at least one of Ctrl, Alt or Super.\n";
    EXPECT_EQ(idle, "Keyboard shortcuts while Windows is open\nRelease mouse:\nCtrl + Alt + Shift + Z\nReset (off)\n" + end + note);
    // Clicking a shortcut records it, clicking it again cancels.
    tab.shortcutButton(0)->click();
    EXPECT_THAT(shownTexts(tab), HasSubstr("Release mouse:\nPress new shortcut...\nReset (off)\n" + end +
                                           "~Press the new shortcut. Escape cancels.\n" + note));
    tab.shortcutButton(0)->click();
    EXPECT_EQ(shownTexts(tab), idle);
    // A custom shortcut can be reset; "Reset" ends a recording and restores its own row only.
    edit([](S& s) { s.releaseMouseKey = {46, KeyShortcut::command | KeyShortcut::option, "M"}; });
    EXPECT_THAT(shownTexts(tab), HasSubstr("Release mouse:\nAlt + Super + M\nReset\n" + end + note));
    tab.shortcutButton(1)->click();
    tab.resetButton(0)->click();
    EXPECT_FALSE(box->shortcutRecorder().active());
    EXPECT_EQ(shownTexts(tab), idle);
}

TEST_F(SettingsTabsTest, UpdatesTabFollowsTheManager) {
    UpdatesTab tab(*box);
    const std::string app = "Software\nCorvane\n~Version 1.0\n",
                      note = "~Corvane checks automatically every 6 hours, and checks the box each time it connects.\n";
    EXPECT_EQ(shownTexts(tab), app + "Box software\n~Box not connected\nCorvane streamer\n~Box not connected\nCheck for Updates\n" + note);
    AgentClient::Info info;
    info.agentVersion = "0.1.0";
    setBox({.boxInfo = info});
    const auto checked = clock.wallTime();
    const struct { UpdateManagerProbe::State state; std::string shown; } rows[] = {
        {{.status = Status::updating("Waiting for the box software to restart..."), .batchStep = "1 of 2", .progress = 0.4,
          .boxUpdates = {{"host", "1.1"}}, .boxNeedsSetup = true},
         "Box software\n~Version 0.1.0, needs a one-time update on the box\nShow Steps\nCorvane streamer\n~Version unknown\n"
         "Update All (off)\nCheck for Updates (off)\n~Update 1 of 2: Waiting for the box software to restart...\n~40%\n"},
        {{.boxUpdates = {{"host", "1.1"}, {"agent", "0.3"}}, .boxHostVersion = "1.0", .lastChecked = checked},
         "~Up to date\nBox software\n~Version 0.1.0\nUpdate to 0.3\nCorvane streamer\n~Version 1.0\nUpdate to 1.1\n"
         "Update All (2)\nCheck for Updates\n~Last checked " + shortTime(checked).toStdString() + "\n"},
        {{.status = Status::checking(), .appUpdate = UpdateManager::AppUpdate{"2.0", {}, {}}, .boxHostVersion = ""},
         "Update to 2.0 (off)\nBox software\n~Version 0.1.0\n~Up to date\nCorvane streamer\n~Version unknown\n~Up to date\n"
         "Update All (off)\nCheck for Updates (off)\n~Checking...\n"},
        {{.status = Status::failed("Disk full."), .boxHostVersion = "1.0", .lastChecked = checked},
         "~Up to date\nBox software\n~Version 0.1.0\n~Up to date\nCorvane streamer\n~Version 1.0\n~Up to date\n"
         "Check for Updates\nDisk full.\n"}};
    for (const auto& row : rows) {
        setUpdates(row.state);
        EXPECT_EQ(shownTexts(tab), app + row.shown + note);
    }
    // Where the app cannot update itself, its row says so and why, and its button is off.
    setUpdates({.appUpdate = UpdateManager::AppUpdate{"2.0", {}, {}}, .appUpdateObstacle = "Corvane can't update itself in /usr/bin."});
    EXPECT_TRUE(shownTexts(tab).starts_with("Software\nCorvane\n~Version 1.0, can't update itself where it is installed\n"
                                            "~Corvane can't update itself in /usr/bin.\nUpdate to 2.0 (off)\n")) << shownTexts(tab);
    // A failure shows whole up to its length cut, an update in progress two lines; no progress known, no bar.
    for (const auto& [state, lines] : {std::pair{Status::failed(std::string(3000, 'x')), 0}, {Status::updating(std::string(3000, 'x')), 2}}) {
        setUpdates({.status = state});
        auto* status = tab.findChild<TextLines*>("updateStatus");
        if (lines > 0) EXPECT_EQ(status->lines(200).size(), lines);
        else EXPECT_EQ(status->lines(200).join(""), QString(600, 'x') + QChar(0x2026));
        EXPECT_EQ(shownTexts(tab).find('%'), std::string::npos);
    }
    setUpdates({});
    child(tab, "Check for Updates")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->updates().showResult() && !box->updates().isBusy(); }, 10000));
}

// A failure's reason comes after the folder's path: the failure line shows it however narrow the line, and a
// text too long to show whole gives up the middle of its path, never the reason or the advice after it.
TEST_F(SettingsTabsTest, UpdatesTabKeepsTheReasonAfterALongPath) {
    UpdatesTab tab(*box);
    auto* status = tab.findChild<TextLines*>("updateStatus");
    const std::string full = "Could not save the update in /tmp/p3/mnt/home/alexandra/.local/lib/corvane: No space left on device";
    setUpdates({.status = Status::failed(full)});
    for (const int width : {200, 120})
        EXPECT_TRUE(status->lines(width).join("").endsWith("No space left on device")) << status->lines(width).join("|").toStdString();
    const std::string advice = ": that folder is read-only. Install the new version the way you installed this one, or install "
                               "Corvane in ~/.local, where it updates itself.";
    const std::string deep = "/home/alexandra" + std::string(700, 'd') + "/.local/bin";
    const std::string refusal = "Corvane can't update itself in " + deep + advice;
    setUpdates({.status = Status::failed(refusal), .appUpdate = UpdateManager::AppUpdate{"2.0", {}, {}},
                .appUpdateObstacle = refusal});
    TextLines* row = nullptr;
    for (auto* lines : tab.findChildren<TextLines*>())
        if (lines != status) row = lines;
    ASSERT_NE(row, nullptr);
    for (TextLines* shown : {status, row}) {
        const QString text = shown->lines(200).join("");
        EXPECT_LE(text.size(), ShownText::kMaxChars);
        EXPECT_TRUE(text.startsWith("Corvane can't update itself in /home/alex")) << text.toStdString();
        EXPECT_TRUE(text.endsWith(QString::fromStdString("dd/.local/bin" + advice))) << text.toStdString();
        EXPECT_EQ(text.count(QChar(0x2026)), 1);
    }
}

TEST_F(SettingsTabsTest, SharingTabAndItsFolderPanel) {
    SharingTab tab(*box);
    tab.show();
    const std::string explorer = "~In File Explorer on Windows, right-click files or folders, choose Show more options > Send to > " +
                                 BoxController::pairingName() + ". They arrive here with a notification.\nClipboard\n";
    EXPECT_EQ(shownTexts(tab),
              "Connect the box to share files and the clipboard.\nThis computer to Windows\n"
              "Drag files, folders and links onto the stream window\nSend Files to Windows... (off)\n~Files go into the folder open in "
              "front in File Explorer, or the Windows Desktop. Links open in the Windows browser; dropped text goes to the Windows "
              "clipboard.\nWindows to this computer\nSave files to:\nDownloads\nChange...\n" + explorer +
              "Share the clipboard (text and pictures)\n"
              "~Copy on one side and paste on the other. Passwords copied from password managers are never shared.\n");
    auto* change = child(tab, "Change...");
    const auto shown = [&tab] { return QTest::qWaitFor([&tab] { return tab.folderPanel() && tab.folderPanel()->isVisible(); }); };
    // The panel opens where files go now; entered in one go: a completer popping up late could take the Return.
    const auto chosen = dir.path() / "Landing & Co";
    std::filesystem::create_directories(chosen);
    std::filesystem::create_directories(box->sharing().receiveFolder());
    change->click();
    ASSERT_TRUE(shown());
    EXPECT_EQ(tab.folderPanel()->directory().absolutePath().toStdString(), box->sharing().receiveFolder().string());
    EXPECT_EQ(tab.folderPanel()->labelText(QFileDialog::Accept), "Choose");
    auto* name = tab.folderPanel()->findChild<QLineEdit*>("fileNameEdit");
    name->setText(QString::fromStdString(chosen.string()));
    if (name->completer() && name->completer()->popup()) name->completer()->popup()->hide();
    QTest::keyClick(name, Qt::Key_Return);
    // A second click raises the panel shown rather than opening another; Cancel changes nothing.
    change->click();
    ASSERT_TRUE(shown());
    QFileDialog* panel = tab.folderPanel();
    change->click();
    EXPECT_EQ(tab.folderPanel(), panel);
    QTest::mouseClick(panel->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    EXPECT_EQ(box->settings().receiveFolder, chosen.string());
    EXPECT_THAT(shownTexts(tab), HasSubstr("Save files to:\nLanding & Co\nChange...\nUse Downloads\n" + explorer));
    // Sharing on: sending can be used; "Use Downloads" goes back to Downloads.
    AgentClient::Info info;
    info.sharing = AgentClient::Info::Sharing{true, {}};
    setBox({.boxInfo = info});
    child(tab, "Use Downloads")->click();
    EXPECT_EQ(box->settings().receiveFolder, "");
    EXPECT_THAT(shownTexts(tab), HasSubstr("Sharing is on. This computer and Windows can trade files, links and the clipboard over the "
                                           "cable.\nThis computer to Windows\nDrag files, folders and links onto the stream window\n"
                                           "Send Files to Windows...\n"));
    EXPECT_THAT(shownTexts(tab), HasSubstr("Save files to:\nDownloads\nChange...\n" + explorer));
    setBox({});
    edit([](S& s) { s.shareClipboard = !s.shareClipboard; });  // sharing stops
}

// The Send to entry the Sharing tab names is the one Windows shows: this computer's name, as it pairs, and
// "Linux" for a computer without one.
TEST_F(SettingsTabsTest, SharingTabNamesTheSendToEntryAfterThisComputer) {
    SharingTab tab(*box);
    const auto computer = platform::SystemInfo::computerName();
    ASSERT_TRUE(computer);
    EXPECT_THAT(shownTexts(tab), HasSubstr("~In File Explorer on Windows, right-click files or folders, choose Show more options > "
                                           "Send to > " + *computer + " (Corvane). They arrive here with a notification.\n"));
    EXPECT_EQ(BoxController::pairingName(), *computer + " (Corvane)");
    EXPECT_EQ(BoxController::pairingName(std::nullopt), "Linux (Corvane)");
    EXPECT_EQ(BoxController::pairingName("Kim's desk"), "Kim's desk (Corvane)");
}

// The window is only as wide as the page shown or its tab bar, whichever is wider (with a scroll bar at
// most), and as tall as it up to the
// screen's free area; what it adds to the page's height is the same on every tab. Long switch texts wrap
// within the row's control column rather than run off the page.
TEST_F(SettingsTabsTest, TheWindowIsOnlyAsWideAsThePageShown) {
    SettingsWindow window(*box);
    window.show();
    std::set<int> chrome;
    for (int tab = 0; tab < window.tabs()->count(); ++tab) {
        window.tabs()->setCurrentIndex(tab);
        QCoreApplication::processEvents();
        const SettingsPage* page = window.page(tab);
        EXPECT_EQ(page->width(), 570) << tab;
        EXPECT_LT(window.width(), std::max(570, window.tabs()->tabBar()->sizeHint().width()) + 30) << tab;
        const int room = window.screen()->availableGeometry().height();
        EXPECT_LE(window.height(), room) << tab;
        if (window.height() < room - 100) chrome.insert(window.height() - page->heightForWidth(570));
    }
    EXPECT_EQ(chrome.size(), 1u);
    for (const auto* toggle : window.findChildren<QCheckBox*>())
        EXPECT_LE(toggle->sizeHint().width(), SettingsPage::kControlWidth) << toggle->text().toStdString();
}

// "Automatic (N Mbps)" names the rate the automatic choice gives, also while a rate of its own is chosen.
TEST_F(SettingsTabsTest, AutomaticNamesTheAutomaticRateEvenWhenARateIsChosen) {
    const auto with = [](auto change) { S s; change(s); return s; };
    const std::pair<S, const char*> rows[] = {
        {S{}, "Automatic (49 Mbps)"}, {with([](S& s) { s.hdr = true; }), "Automatic (62 Mbps)"},
        {with([](S& s) { s.fps = 30; }), "Automatic (24 Mbps)"},
        {with([](S& s) { s.size = S::Size::qhd, s.fps = 120, s.yuv444 = s.hdr = true; }), "Automatic (250 Mbps)"},
        {with([](S& s) { s.bitrateMbps = 150; }), "Automatic (49 Mbps)"},
        {with([](S& s) { s.bitrateMbps = 2147483647; }), "Automatic (49 Mbps)"}};
    for (const auto& [settings, label] : rows) EXPECT_EQ(AdvancedStreamSheet::automaticLabel(settings), label);
    AdvancedStreamSheet sheet(*box, nullptr);
    edit([](S& s) { s.bitrateMbps = 150, s.fps = 30; });
    EXPECT_THAT(shownTexts(sheet), HasSubstr("\nBitrate:\nAutomatic (24 Mbps), 20 Mbps, 50 Mbps, 80 Mbps, 100 Mbps, [150 Mbps], "
                                             "200 Mbps, 300 Mbps\n"));
}

// V-Sync clicked is stored, each way, and the switch shows it.
TEST_F(SettingsTabsTest, ClickingVSyncStoresIt) {
    AdvancedStreamSheet sheet(*box, nullptr);
    auto* vsync = child(sheet, "V-Sync (no tearing)");
    ASSERT_TRUE(vsync);
    const bool before = box->settings().vsync;
    for (const bool now : {!before, before}) {
        vsync->click();
        EXPECT_EQ(box->settings().vsync, now);
        EXPECT_EQ(S::load(*defaults).vsync, now);
        EXPECT_EQ(vsync->isChecked(), now);
    }
}

// The folder panel goes once answered, chosen or cancelled; while it shows, "Change..." raises it, so one
// panel shows at a time.
TEST_F(SettingsTabsTest, TheFolderPanelGoesOnceAnswered) {
    SharingTab tab(*box);
    tab.show();
    const auto shown = [&tab] { return QTest::qWaitFor([&tab] { return tab.folderPanel() && tab.folderPanel()->isVisible(); }); };
    const auto panels = [] {
        return std::ranges::count_if(QApplication::topLevelWidgets(), [](QWidget* w) { return qobject_cast<QFileDialog*>(w) && w->isVisible(); });
    };
    const auto chosen = dir.path() / "Inbox";
    std::filesystem::create_directories(chosen);
    std::filesystem::create_directories(box->sharing().receiveFolder());
    tab.chooseFolder();
    ASSERT_TRUE(shown());
    tab.chooseFolder();
    EXPECT_EQ(panels(), 1);
    // Entered in one go: a completer popping up late could take the Return.
    auto* name = tab.folderPanel()->findChild<QLineEdit*>("fileNameEdit");
    name->setText(QString::fromStdString(chosen.string()));
    if (name->completer() && name->completer()->popup()) name->completer()->popup()->hide();
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_EQ(box->settings().receiveFolder, chosen.string());
    EXPECT_TRUE(QTest::qWaitFor([&tab] { return !tab.folderPanel(); }));
    EXPECT_EQ(panels(), 0);
    tab.chooseFolder();
    ASSERT_TRUE(shown());
    QTest::mouseClick(tab.folderPanel()->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&tab] { return !tab.folderPanel(); }));
    EXPECT_EQ(panels(), 0);
    EXPECT_EQ(box->settings().receiveFolder, chosen.string());
}

// With the overlay off its position cannot be chosen; Smooth turns frame pacing on.
TEST_F(SettingsTabsTest, OverlayOffLeavesNoPositionAndSmoothPacesFrames) {
    StreamTab tab(*box);
    child(tab, "Detailed")->click();
    child(tab, "Off")->click();
    EXPECT_THAT(shownTexts(tab), HasSubstr("\nPosition:\nTop left (off)\nTop center (off)\nTop right (off)\n"));
    edit([](S& s) { s.framePacing = false; });
    child(tab, "Smooth")->click();
    EXPECT_TRUE(box->settings().framePacing);
}

// The codec picker offers AV1 as an item that cannot be picked; the others can.
TEST_F(SettingsTabsTest, AV1IsAnItemThatCannotBePicked) {
    AdvancedStreamSheet sheet(*box, nullptr);
    auto* codec = sheet.findChildren<PopupPicker*>().at(1);
    const auto* items = qobject_cast<QStandardItemModel*>(codec->model());
    ASSERT_TRUE(items);
    ASSERT_EQ(items->rowCount(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(items->item(i)->isEnabled(), i < 3) << items->item(i)->text().toStdString();
}

// A box found whose agent takes no status requests, then one that reports its sleep setting: the box rows in
// full.
TEST_F(SettingsTabsTest, GeneralTabBoxRowsWithAndWithoutTheSleepSetting) {
    SettingsWindow window(*box);
    QWidget& tab = *window.page(0);
    setBox({.boxFound = true, .statusSupported = false, .boxName = "Den", .wakeMACs = {"aa:bb:cc:dd:ee:ff"}});
    EXPECT_THAT(shownTexts(tab), HasSubstr("Connected to:\nDen\nSleep when unplugged:\n"
                                           "Never, After 5 minutes, After 15 minutes, [After 30 minutes], After 1 hour, After 2 hours (off)\n"
                                           "Wake the box when Corvane looks for it\nWake Box Now (off)\n"
                                           "~Connect the box to change its sleep setting (needs box software 0.2.0 or newer).\n"
                                           "Restart Box... (off)\nShut Down Box... (off)\nForget This Box and Pair Again\nSupport\n"));
    AgentClient::Info info;
    info.settings = AgentClient::BoxSettings{60};
    setBox({.boxFound = true, .boxName = "Den", .boxInfo = info});
    EXPECT_THAT(shownTexts(tab), HasSubstr("Connected to:\nDen\nSleep when unplugged:\n"
                                           "Never, After 5 minutes, After 15 minutes, After 30 minutes, [After 1 hour], After 2 hours\n"
                                           "Wake the box when Corvane looks for it\nWake Box Now (off)\n"
                                           "~The box never sleeps while this computer is plugged in. After it is unplugged, it sleeps "
                                           "once idle for the time above. Corvane wakes it over your home network (the box must be on "
                                           "the same network, by Ethernet for best results).\n"
                                           "Restart Box...\nShut Down Box...\nForget This Box and Pair Again\nSupport\n"));
}

} // namespace
} // namespace corvane
