#include "app/controller/AppLaunch.hpp"
#include "app/ui/BoxStatusCard.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/StatusText.hpp"
#include "app/ui/StreamTab.hpp"
#include "app/ui/TextStyle.hpp"
#include "app/ui/TrayMenu.hpp"
#include "app/window/EngineStream.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocument>
#include <gmock/gmock.h>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;
using Phase = BoxController::Phase;
constexpr const char* kMarkup = "<b>Zq</b><img src=\"/nonexistent/zq.png\">";

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
    // A load card's value keeps the card's text size and wraps where its tile is narrow; a bar is orange only
    // past 90 %.
    auto* card = window.findChild<BoxStatusCard*>();
    const auto* value = card->findChild<QLabel*>("value");
    EXPECT_EQ(value->font().pointSizeF(), textFont(TextStyle::callout).pointSizeF());
    EXPECT_TRUE(value->wordWrap());
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
    edit([](StreamSettings& s) { s.releaseMouseKey = {46, KeyShortcut::command | KeyShortcut::option, "M"}; });
    const StreamSettings settings = box->settings();
    setBox({.phase = phase(Kind::streaming)});
    const auto refused = [&](ShortcutAction action, const KeyShortcut& shortcut) { return box->setShortcut(action, shortcut).value_or("accepted"); };
    const std::pair<std::string, const char*> rows[] = {
        {window.findChild<QLabel*>("detail")->text().toStdString(), "Alt + Super + M releases the mouse.\nCtrl + Alt + Shift + Q ends the session."},
        {EngineStream::hintText(settings.releaseMouseKey), "Press Alt + Super + M to release the mouse"},
        {StreamTab::gamesNote(settings), "Captures the pointer for games with mouse look. Press Alt + Super + M to release."},
        {refused(ShortcutAction::endSession, settings.releaseMouseKey), "Alt + Super + M is already used for release mouse."},
        {refused(ShortcutAction::releaseMouse, KeyShortcut::defaultEndSession()), "Ctrl + Alt + Shift + Q is already used for end session."}};
    for (const auto& [shown, expected] : rows) EXPECT_EQ(shown, expected);
}

// The hints over the stream write the release shortcut as the main window does, with the default keys.
TEST_F(MainWindowTest, StreamHintsWriteTheShortcutAsTheMainWindowDoes) {
    setBox({.phase = phase(Kind::streaming)});
    const KeyShortcut release = box->settings().releaseMouseKey;
    EXPECT_EQ(window.findChild<QLabel*>("detail")->text().toStdString(),
              "Ctrl + Alt + Shift + Z releases the mouse.\nCtrl + Alt + Shift + Q ends the session.");
    EXPECT_EQ(EngineStream::hintText(release), "Press Ctrl + Alt + Shift + Z to release the mouse");
    EXPECT_EQ(EngineStream::systemKeysHintText(release),
              "Desktop shortcuts go to Windows. Press Ctrl + Alt + Shift + Z to use them on this computer");
    EXPECT_EQ(StreamTab::gamesNote(box->settings()), "Captures the pointer for games with mouse look. Press Ctrl + Alt + Shift + Z to release.");
}

// A minute of passes that change nothing shown (the box's uptime moves within its minute) repaints nothing and
// leaves the tray's menu as it is.
TEST_F(MainWindowTest, NothingNewRepaintsNothing) {
    TrayMenu tray(*box, {});
    window.show();
    struct Redraws final : QObject {
        const QObject *window = nullptr, *menu = nullptr;
        int paints = 0, menuEdits = 0;
        bool eventFilter(QObject* target, QEvent* event) override {
            auto* widget = qobject_cast<QWidget*>(target);
            paints += event->type() == QEvent::Paint && widget && widget->window() == window;
            menuEdits += target == menu && (event->type() == QEvent::ActionAdded || event->type() == QEvent::ActionRemoved);
            return false;
        }
    } redraws;
    AgentClient::BoxStatus status = load;
    for (int second = 0; second < 60; ++second) {
        status.uptimeSeconds = 3600 + second;
        setBox({.phase = phase(Kind::ready), .linkUp = true, .boxFound = true, .paired = true, .boxName = "Den", .boxStatus = status});
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        if (second == 1) redraws.window = &window, redraws.menu = tray.menu(), qApp->installEventFilter(&redraws);
    }
    qApp->removeEventFilter(&redraws);
    EXPECT_EQ(redraws.paints, 0);
    EXPECT_EQ(redraws.menuEdits, 0);
}

// Box text with markup in it reaches every label, tool tip, title and menu item that shows it as it is, cut to
// a sane length.
TEST_F(MainWindowTest, MarkupFromTheBoxIsNeverReadAndIsCut) {
    const std::string markup = kMarkup + std::string(5000, 'x');
    AgentClient::Info info;
    info.boxName = info.agentVersion = markup;
    info.windows = markup;
    setBox({.phase = Phase::failed(markup), .linkUp = true, .boxFound = true, .boxName = markup, .boxInfo = info,
            .boxStatus = AgentClient::BoxStatus{markup, markup, 10, 20, 1, 2, 1, 2, 50, 60}});
    setUpdates({.boxUpdates = {{markup, markup}}, .boxHostVersion = markup});
    SettingsWindow settings(*box);
    TrayMenu tray(*box, {});
    // Each text that carries the box's, as Qt draws it (markup read where Qt reads it), shows the markup; a
    // label cut to its width in the middle shows at least the markup's start.
    const auto shown = [](const QString& text, bool rich, const char* where) {
        if (!text.contains("Zq")) return 0;
        EXPECT_LE(text.size(), where == std::string("tool tip") ? 700 : 601) << where;
        QTextDocument document;
        document.setHtml(text);
        const QString markup = where == std::string("label") && text.contains(u'…') ? "<b>Zq</b>" : kMarkup;
        EXPECT_TRUE((rich ? document.toPlainText() : text).contains(markup)) << where << ": " << text.toStdString();
        return 1;
    };
    int labels = 0, tips = 0, items = 0;
    for (QWidget* top : {static_cast<QWidget*>(&window), static_cast<QWidget*>(&settings)}) {
        QList<QWidget*> widgets = top->findChildren<QWidget*>();
        for (QWidget* widget : widgets << top) {
            tips += shown(widget->toolTip(), Qt::mightBeRichText(widget->toolTip()), "tool tip");
            shown(widget->windowTitle(), false, "title");
            if (auto* label = qobject_cast<QLabel*>(widget))
                labels += shown(label->text(), label->textFormat() == Qt::RichText ||
                                                   (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text())),
                                "label");
        }
    }
    setBox({.phase = Phase::of(Phase::Kind::ready), .boxName = markup});
    for (QAction* action : tray.menu()->actions()) items += shown(action->text().replace("&&", "&"), false, "menu");
    // The main window's subtitle, detail and load card, the settings' box name, versions and updates; the tips
    // of the six of them that were cut, which offer the whole; the tray's first line.
    EXPECT_EQ(labels, 7);
    EXPECT_EQ(tips, 6);
    EXPECT_EQ(items, 1);
}

// Four full tiles of the box's load share the width: the window stays 440 wide.
TEST_F(MainWindowTest, TheWindowStays440WideWithFourLoadTiles) {
    window.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(window.width(), 440);
    AgentClient::BoxStatus status = load;
    status.diskFree = status.diskTotal = 400ull << 30;
    setBox({.phase = phase(Kind::ready), .linkUp = true, .boxFound = true, .paired = true, .boxName = "Den", .boxStatus = status});
    QCoreApplication::processEvents();
    ASSERT_EQ(BoxStatusCard::tiles(status).size(), 4u);
    EXPECT_FALSE(window.findChild<BoxStatusCard*>()->isHidden());
    EXPECT_EQ(window.width(), 440);
}

// A new load shows in the tiles in place; without a graphics figure its tile goes and the others stay.
TEST_F(MainWindowTest, TheLoadCardShowsNewFigures) {
    auto* card = window.findChild<BoxStatusCard*>();
    ASSERT_NE(card, nullptr);
    AgentClient::BoxStatus status = load;
    setBox({.boxStatus = status});
    const auto* value = card->findChild<QLabel*>("value");
    ASSERT_NE(value, nullptr);
    for (const double percent : {90.0, 91.0, 7.0}) {
        status.gpuPercent = percent;
        setBox({.boxStatus = status});
        EXPECT_EQ(value->text().toStdString(), std::to_string(int(percent)) + "%");
    }
    status.cpuPercent = 55, status.diskFree = static_cast<std::uint64_t>(250.4 * (1ull << 30));
    setBox({.boxStatus = status});
    EXPECT_THAT(test::shownTexts(window), testing::HasSubstr("~Graphics\n7%\n~Processor\n55%\n~Memory\n8.0 GB of 32 GB\n~Storage\n"
                                                             "250 GB free\n"));
    status.gpuPercent.reset();
    setBox({.boxStatus = status});
    EXPECT_THAT(test::shownTexts(window), testing::HasSubstr("Paired with this computer\n~Processor\n55%\n~Memory\n8.0 GB of 32 GB\n"
                                                             "~Storage\n250 GB free\n"));
    value = card->findChild<QLabel*>("value");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->text().toStdString(), "55%");
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
