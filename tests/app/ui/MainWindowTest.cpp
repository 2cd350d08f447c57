#include "app/controller/AppLaunch.hpp"
#include "app/ui/BoxStatusCard.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/ShortcutsTab.hpp"
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
    QString text(const char* name) { return window.findChild<QLabel*>(name)->text(); }
    QPushButton* action() { return window.findChild<QPushButton*>("action"); }
    bool spinning() { return !window.findChild<QWidget*>("spinner")->isHidden(); }
    MainWindow window{*box};
};

TEST_F(MainWindowTest, StatusCardAndActionFollowEveryPhase) {
    struct Row {
        Phase phase;
        const char* title;
        const char* symbol;
        Tint tint;
        bool spinning;
        const char* action;  // none: no button
        bool enabledWhileWorking;
    };
    const Row rows[] = {
        {Phase::needsNetworkSetup("Bridge off."), "One quick setup step", "network", Tint::orange, false,
         "Set up Thunderbolt link", false},
        {Phase::boxNotReady("Host starting."), "Box is starting up", "hourglass", Tint::orange, true, nullptr, false},
        {Phase::failed("It broke."), "Something went wrong", "xmark.octagon", Tint::red, false, "Try Again", true},
        {phase(Kind::starting), "Starting...", "hourglass", Tint::accent, true, nullptr, false},
        {phase(Kind::waitingForBox), "Plug in your box", "cable.connector", Tint::accent, false, nullptr, false},
        {phase(Kind::cableNoAddress), "Cable connected", "cable.connector", Tint::orange, false, "Connect directly", false},
        {phase(Kind::boxNotAnswering), "Box connected, not answering", "exclamationmark.triangle", Tint::orange, false,
         nullptr, false},
        {phase(Kind::pairing), "Pairing with your box", "link", Tint::accent, true, nullptr, false},
        {phase(Kind::ready), "Ready", "checkmark.circle", Tint::green, false, "Open Windows", true},
        {phase(Kind::streaming), "Windows is open", "play.rectangle", Tint::green, false, "Close Windows session", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        const StatusText status(row.phase, box->settings());
        EXPECT_EQ(status.symbol, row.symbol);
        EXPECT_EQ(status.tint, row.tint);
        EXPECT_EQ(status.spinning, row.spinning);
        for (bool working : {false, true}) {
            setBox({.phase = row.phase, .working = working});
            EXPECT_EQ(text("title"), row.title);
            EXPECT_EQ(spinning(), row.spinning);
            EXPECT_EQ(!action()->isHidden(), row.action != nullptr);
            if (!row.action) continue;
            EXPECT_EQ(action()->text(), row.action);
            EXPECT_EQ(action()->isEnabled(), !working || row.enabledWhileWorking);
            EXPECT_EQ(action()->isDefault(), row.phase.kind == Kind::ready);
        }
    }
}

TEST_F(MainWindowTest, DetailsCarryTheMessageAndTheShortcuts) {
    setBox({.phase = Phase::needsNetworkSetup("")});
    EXPECT_EQ(text("detail"), "\nCorvane will fix it. The system will ask for your password once.");
    setBox({.phase = phase(Kind::starting)});
    EXPECT_TRUE(window.findChild<QLabel*>("detail")->isHidden());
    // A box's message is plain text and never grows the window without bound.
    setBox({.phase = Phase::failed("<b>x</b>" + std::string(5000, 'y'))});
    EXPECT_EQ(window.findChild<QLabel*>("detail")->textFormat(), Qt::PlainText);
    EXPECT_LE(text("detail").size(), 601);
}

// Every text that names a stream shortcut names the keys as this keyboard labels them, in its order: Ctrl,
// Alt, Shift, Super. Mouse release is moved to Super + Alt + M; ending keeps its default.
TEST_F(MainWindowTest, ShortcutTextsNameThisKeyboardsKeys) {
    StreamSettings settings = box->settings();
    settings.releaseMouseKey = {46, KeyShortcut::command | KeyShortcut::option, "M"};
    box->setSettings(settings);
    setBox({.phase = phase(Kind::streaming)});
    ShortcutsTab tab(*box);
    const auto refused = [&](ShortcutAction action, const KeyShortcut& shortcut) { return box->setShortcut(action, shortcut).value_or("accepted"); };
    const std::pair<std::string, const char*> rows[] = {
        {text("detail").toStdString(), "Alt + Super + M releases the mouse.\nCtrl + Alt + Shift + Q ends the session."},
        {EngineStream::hintText(settings.releaseMouseKey), "Press Alt-Super-M to release the mouse"},
        {StreamTab::gamesNote(settings), "Captures the pointer for games with mouse look. Press Alt-Super-M to release."},
        {tab.shortcutButton(0)->text().toStdString(), "Alt + Super + M"},
        {tab.shortcutButton(1)->text().toStdString(), "Ctrl + Alt + Shift + Q"},
        {refused(ShortcutAction::endSession, settings.releaseMouseKey), "Alt + Super + M is already used for release mouse."},
        {refused(ShortcutAction::releaseMouse, KeyShortcut::defaultEndSession()),
         "Ctrl + Alt + Shift + Q is already used for end session."},
    };
    for (const auto& [shown, expected] : rows) EXPECT_EQ(shown, expected);
}

TEST_F(MainWindowTest, ChecklistAndSubtitleFollowTheController) {
    setBox({.phase = phase(Kind::ready), .linkUp = true, .boxFound = false, .paired = true, .boxName = "Den & Co"});
    EXPECT_EQ(text("subtitle"), "Connected to Den & Co");
    const bool expected[] = {true, true, false, true};
    const char* texts[] = {"Streaming engine installed", "Thunderbolt link connected", "Box found", "Paired with this computer"};
    for (int i = 0; i < 4; ++i) {
        auto* check = window.findChild<QLabel*>(QString("check%1").arg(i));
        EXPECT_EQ(check->text(), texts[i]);
        EXPECT_EQ(check->property("done").toBool(), expected[i]) << i;
    }
    setBox({});
    EXPECT_EQ(text("subtitle"), "Windows gaming over Thunderbolt");
    EXPECT_TRUE(window.findChild<QLabel*>("check0")->property("done").toBool());
}

TEST_F(MainWindowTest, BoxCardOnlyWhileTheBoxReportsItsLoad) {
    auto* card = window.findChild<BoxStatusCard*>();
    ASSERT_NE(card, nullptr);
    EXPECT_TRUE(card->isHidden());
    AgentClient::BoxStatus status;
    status.cpuPercent = 12;
    status.gpuPercent = 30;
    status.memoryUsed = 8ull << 30, status.memoryTotal = 32ull << 30;
    status.diskFree = status.diskTotal = 400ull << 30;
    setBox({.boxStatus = status});
    EXPECT_FALSE(card->isHidden());
    // A value shrinks down to 70 % of its size before it is cut.
    const auto* value = card->findChild<ShrinkingLabel*>("value");
    ASSERT_NE(value, nullptr);
    ASSERT_NE(card->findChild<QProgressBar*>(), nullptr);
    EXPECT_EQ(value->fittedFont(1000).pointSizeF(), value->font().pointSizeF());
    EXPECT_DOUBLE_EQ(value->fittedFont(1).pointSizeF(), value->font().pointSizeF() * 0.7);
    // A new load shows in the tiles there, the bar orange past 90 %; without a graphics figure the tiles go.
    status.gpuPercent = 95;
    setBox({.boxStatus = status});
    EXPECT_EQ(value->text().toStdString(), "95%");
    EXPECT_EQ(card->findChild<QProgressBar*>()->palette().color(QPalette::Highlight), tintColor(Tint::orange));
    status.gpuPercent.reset();
    setBox({.boxStatus = status});
    value = card->findChild<ShrinkingLabel*>("value");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->text().toStdString(), "12%");
    setBox({});
    EXPECT_TRUE(card->isHidden());
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
