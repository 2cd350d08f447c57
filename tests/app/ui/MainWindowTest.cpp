#include "app/controller/AppLaunch.hpp"
#include "app/ui/BoxStatusCard.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/ShrinkingLabel.hpp"
#include "app/ui/StatusText.hpp"
#include "app/ui/StreamTab.hpp"
#include "app/window/EngineStream.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;
using Phase = BoxController::Phase;

class MainWindowTest : public test::UiFixture {
protected:
    bool spinning() { return !window.findChild<QWidget*>("spinner")->isHidden(); }
    MainWindow window{*box};
};

// The window top to bottom in each phase ("~" dimmed, " (off)" cannot be used), with nothing else known.
TEST_F(MainWindowTest, StatusCardAndActionFollowEveryPhase) {
    struct Row {
        Phase phase;
        const char* title;
        const char* detail;  // empty: none shown
        const char* symbol;
        Tint tint;
        bool spinning;
        const char* action;  // none: no button
        bool enabledWhileWorking;
    };
    const Row rows[] = {
        {Phase::needsNetworkSetup(""), "One quick setup step", "\nCorvane will fix it. The system will ask for your password once.",
         "network", Tint::orange, false, "Set up Thunderbolt link", false},
        {Phase::boxNotReady(""), "Box is starting up", "", "hourglass", Tint::orange, true, nullptr, false},
        {Phase::failed("It broke."), "Something went wrong", "It broke.", "xmark.octagon", Tint::red, false, "Try Again", true},
        {phase(Kind::starting), "Starting...", "", "hourglass", Tint::accent, true, nullptr, false},
        {phase(Kind::waitingForBox), "Plug in your box", "Connect the box to this computer with a Thunderbolt cable and make sure it "
         "is powered on.", "cable.connector", Tint::accent, false, nullptr, false},
        {phase(Kind::cableNoAddress), "Cable connected", "The box has not given this computer an address yet. If the box was just "
         "turned on, give it a minute. You can also connect directly (asks for your password).", "cable.connector", Tint::orange,
         false, "Connect directly", false},
        {phase(Kind::boxNotAnswering), "Box connected, not answering", "The cable is connected but the box has not responded yet. If "
         "it just turned on, give it a minute. Otherwise, make sure Corvane setup was run on the box.", "exclamationmark.triangle",
         Tint::orange, false, nullptr, false},
        {phase(Kind::pairing), "Pairing with your box", "This happens once.", "link", Tint::accent, true, nullptr, false},
        {phase(Kind::ready), "Ready", "Your box is connected and paired.", "checkmark.circle", Tint::green, false, "Open Windows", true},
        {phase(Kind::streaming), "Windows is open", "Ctrl + Alt + Shift + Z releases the mouse.\nCtrl + Alt + Shift + Q ends the "
         "session.", "play.rectangle", Tint::green, false, "Close Windows session", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        const StatusText status(row.phase, box->settings());
        EXPECT_EQ(status.symbol, row.symbol);
        EXPECT_EQ(status.tint, row.tint);
        EXPECT_EQ(status.spinning, row.spinning);
        for (bool working : {false, true}) {
            setBox({.phase = row.phase, .working = working});
            EXPECT_EQ(test::shownTexts(window), "Corvane\n~Windows gaming over Thunderbolt\n" + std::string(row.title) + "\n" +
                                                    (*row.detail ? "~" + std::string(row.detail) + "\n" : "") +
                                                    "Streaming engine installed\n~Thunderbolt link connected\n~Box found\n"
                                                    "~Paired with this computer\n" + (row.action ? row.action + std::string(
                                                    working && !row.enabledWhileWorking ? " (off)\n" : "\n") : ""));
            EXPECT_EQ(spinning(), row.spinning);
            EXPECT_EQ(window.findChild<QPushButton*>("action")->isDefault(), row.phase.kind == Kind::ready);
        }
    }
    // Unpaired, "Open Windows" does nothing. A box's message is plain text.
    setBox({.phase = phase(Kind::ready), .paired = false});
    window.findChild<QPushButton*>("action")->click();
    EXPECT_TRUE(box->phase().is(Kind::ready));
    EXPECT_EQ(window.findChild<QLabel*>("detail")->textFormat(), Qt::PlainText);
}

// A paired box with its load while an update waits, then gone.
TEST_F(MainWindowTest, EveryTextOfTheWindow) {
    EXPECT_EQ(window.windowTitle(), "Corvane");
    EXPECT_EQ(window.findChild<QWidget*>("settingsButton")->toolTip(), "Settings");
    const std::string plain = test::shownTexts(window);
    setBox({.phase = phase(Kind::ready), .linkUp = true, .paired = true, .boxName = "Den & Co", .boxStatus = load});
    setUpdates({.appUpdate = UpdateManager::AppUpdate{"2.0", "Faster.", {}}});
    EXPECT_EQ(test::shownTexts(window), "Corvane\n~Connected to Den & Co\nCorvane 2.0 is available\n~Faster.\nUpdate\nReady\n"
                                        "~Your box is connected and paired.\nStreaming engine installed\nThunderbolt link connected\n"
                                        "~Box found\nPaired with this computer\n~Graphics\n95%\n~Processor\n13%\n~Memory\n"
                                        "8.0 GB of 32 GB\n~Storage\n400 GB free\n~GPU  \u00b7  on for 0 min\nOpen Windows\n");
    // A load card's value shrinks down to 70 % of its size before it is cut; a bar is orange only past 90 %.
    auto* card = window.findChild<BoxStatusCard*>();
    const auto* value = card->findChild<ShrinkingLabel*>("value");
    EXPECT_EQ(value->fittedFont(1000).pointSizeF(), value->font().pointSizeF());
    EXPECT_DOUBLE_EQ(value->fittedFont(1).pointSizeF(), value->font().pointSizeF() * 0.7);
    for (const auto& [percent, tint] : {std::pair{90.0, Tint::accent}, {91.0, Tint::orange}}) {
        AgentClient::BoxStatus status = load;
        status.gpuPercent = percent;
        setBox({.boxStatus = status});
        EXPECT_EQ(card->findChild<QProgressBar*>()->palette().color(QPalette::Highlight), tintColor(tint)) << percent;
    }
    setBox({}), setUpdates({});  // the load card and the update go as soon as they are gone
    EXPECT_EQ(test::shownTexts(window), plain);
}

// Every text that names a stream shortcut names the keys as this keyboard labels them, in its order: Ctrl,
// Alt, Shift, Super. Mouse release is moved to Super + Alt + M; ending keeps its default.
TEST_F(MainWindowTest, ShortcutTextsNameThisKeyboardsKeys) {
    StreamSettings settings = box->settings();
    settings.releaseMouseKey = {46, KeyShortcut::command | KeyShortcut::option, "M"};
    box->setSettings(settings);
    setBox({.phase = phase(Kind::streaming)});
    const auto refused = [&](ShortcutAction action, const KeyShortcut& shortcut) { return box->setShortcut(action, shortcut).value_or("accepted"); };
    const std::pair<std::string, const char*> rows[] = {
        {window.findChild<QLabel*>("detail")->text().toStdString(), "Alt + Super + M releases the mouse.\nCtrl + Alt + Shift + Q ends the session."},
        {EngineStream::hintText(settings.releaseMouseKey), "Press Alt-Super-M to release the mouse"},
        {StreamTab::gamesNote(settings), "Captures the pointer for games with mouse look. Press Alt-Super-M to release."},
        {refused(ShortcutAction::endSession, settings.releaseMouseKey), "Alt + Super + M is already used for release mouse."},
        {refused(ShortcutAction::releaseMouse, KeyShortcut::defaultEndSession()),
         "Ctrl + Alt + Shift + Q is already used for end session."},
    };
    for (const auto& [shown, expected] : rows) EXPECT_EQ(shown, expected);
}

TEST_F(MainWindowTest, LoginStartKeepsTheWindowWithoutATray) {
    AppLaunch::atLogin = true;
    window.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(window.objectName(), "main");
    EXPECT_FALSE(AppLaunch::atLogin);
    EXPECT_TRUE(window.isVisible());
}

} // namespace
} // namespace corvane
