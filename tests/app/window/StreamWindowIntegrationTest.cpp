// The stream window against a whole simulated box on the test's own loopback address, on a virtual display
// with a real window manager: opening, the picture, and every way a stream ends.
#include "app/window/EngineStream.hpp"
#include <regex>
#include <thread>
#include <QMessageBox>
#include <QPushButton>
#include "app/window/StartView.hpp"
#include "engine/view/StreamSurface.hpp"
#include "tests/app/window/StreamWindowFixture.hpp"
#include "tests/support/EngineLogCapture.hpp"

namespace corvane {
namespace {

using test::Endings;
using test::StreamWindowIntegrationTest;

TEST_F(StreamWindowIntegrationTest, OpensWithAPictureAndTheCloseButtonEndsIt) {
    openStream(true);
    ASSERT_NE(stream->window(), nullptr);
    EXPECT_EQ(stream->window()->windowTitle(), "Windows");
    EXPECT_EQ(stream->view()->size(), QSize(640, 360));
    // Without matchWindowShape the window keeps the stream's shape.
    const auto hints = test::runCommand("xprop -id " + winId() + " WM_NORMAL_HINTS").output;
    EXPECT_NE(hints.find("program specified maximum aspect ratio: 640/360"), std::string::npos) << hints;
    ASSERT_TRUE(waitForPictures());
    open();  // one window at a time: nothing more is launched
    EXPECT_TRUE(test::logHas("engine: opening Windows 640x360 at 30 FPS, H.264, 20 Mbps"));
    EXPECT_TRUE(test::logHasPrefix("engine: session up in "));
    // The window manager's close, as the title bar's button sends it.
    test::runCommand("wmctrl -i -c " + winId());
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->window() == nullptr; }, 10000));
    EXPECT_EQ(endings, Endings{std::nullopt});
    const std::string log = test::appLog();
    const auto totals = log.rfind(" engine: session totals: shown ");
    ASSERT_NE(totals, std::string::npos);
    EXPECT_GT(log.find(" engine: window closed\n", totals), totals);
    EXPECT_EQ(stream->session(), nullptr);
    EXPECT_FALSE(test::pointerGrabbedElsewhere());
    EXPECT_FALSE(test::keyboardGrabbedElsewhere());
    // The box was asked to launch once and never to quit its application.
    EXPECT_EQ(hostCalls(), std::vector<std::string>{"/launch 881448767"});
    // The last picture is kept for the next cover: a JPEG 480 wide, height in proportion.
    const auto snapshot = StartView::snapshotURL();
    ASSERT_TRUE(snapshot);
    const auto probe = test::runCommand("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 '" +
                                        snapshot->string() + "'");
    EXPECT_EQ(probe.output, "mjpeg,480,270\n");
}

TEST_F(StreamWindowIntegrationTest, BoxGoingAwayEndsTheStreamWithItsReason) {
    openStream(true);
    ASSERT_TRUE(waitForPictures());
    box->stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !endings.empty(); }, 20000));
    ASSERT_EQ(endings.size(), 1u);
    ASSERT_TRUE(endings[0]);
    EXPECT_TRUE(test::logHas("engine: the session ended: " + *endings[0]));
    EXPECT_EQ(stream->window(), nullptr);
    EXPECT_FALSE(test::logHas("engine: window closed"));
}

TEST_F(StreamWindowIntegrationTest, ClosingWhileFramesFlowLeavesNothingBehind) {
    startBox(true);
    makeStream();
    for (int round = 0; round < 3; ++round) {
        open();
        // The box may still be ending the previous session's media; the first round must show frames.
        ASSERT_TRUE(waitForPictures(3, round == 0 ? 30000 : 5000) || round > 0);
        stream->window()->close();
        EXPECT_EQ(stream->window(), nullptr);
        // The old view goes while its session is still being stopped and the decoder may still deliver.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTest::qWait(50);
    }
    EXPECT_EQ(endings.size(), 3u);
}

// The app ends streams as their window opens (a restart or shut-down asked from Settings or the tray, an
// opening that fails, the app quitting): while the session starts, once it runs, after the first picture;
// on a busy machine. Each view meets its window through an X connection of its own, and X never complains.
TEST_F(StreamWindowIntegrationTest, StreamsTheAppEndsAsTheyOpenLeaveItsXConnectionToTheMainThread) {
    test::EngineLogCapture log;
    std::vector<std::jthread> busyLoops;
    for (int i = 0; i < 4; ++i) busyLoops.emplace_back([](std::stop_token stop) { while (!stop.stop_requested()) {} });
    startBox(true);
    makeStream();
    testing::internal::CaptureStderr();
    for (int round = 0; round < 15 && !HasFailure(); ++round) {
        bool done = false;
        std::exception_ptr error;
        opening(done, error);
        const QPointer surface = stream->view()->windowHandle()->findChild<stream::StreamSurface*>();
        if (round % 3 == 0) stream->tearDown();  // as the controller stops it
        EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 60000));
        EXPECT_TRUE(round % 3 != 2 || waitForPictures(1)) << round;
        stream->closingOnPurpose = true;
        if (QWidget* window = stream->window()) window->close();  // as a shut-down or the app quitting does
        // The picture's surface went with the window, and was not made again inside the window going.
        EXPECT_TRUE(!surface || !surface->handle()) << round;
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const std::string complaints = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(log.matching("through the app's X connection").empty());
    EXPECT_FALSE(std::regex_search(complaints, std::regex("Xlib:|\\[xcb\\]|XIO:|X Error|XCB error|GLX|glx:"))) << complaints;
}

// Changed shortcuts replace the defaults: the stream view's filter keeps only the chosen ones from Windows.
TEST_F(StreamWindowIntegrationTest, OnlyTheChosenShortcutsAreKeptFromWindows) {
    settings.releaseMouseKey = {14, KeyShortcut::control | KeyShortcut::option, "E"};
    settings.endSessionKey = {46, KeyShortcut::command, "M"};
    openStream(false);
    const auto consumed = [&](std::uint16_t keyCode, std::uint64_t flags) {
        platform::KeyEvents::Event event;
        event.keyCode = keyCode;
        event.modifierFlags = flags;
        return stream->view()->inputHooks.shortcut(event);
    };
    const std::uint64_t defaults = KeyShortcut::control | KeyShortcut::option | KeyShortcut::shift;
    EXPECT_FALSE(consumed(6, defaults));   // Ctrl + Alt + Shift + Z
    EXPECT_FALSE(consumed(12, defaults));  // Ctrl + Alt + Shift + Q
    EXPECT_EQ(test::logCount("engine: release mouse shortcut"), 0u);
    ASSERT_NE(stream->window(), nullptr);
    EXPECT_TRUE(consumed(14, KeyShortcut::control | KeyShortcut::option));
    EXPECT_EQ(test::logCount("engine: release mouse shortcut"), 1u);
    EXPECT_TRUE(consumed(46, KeyShortcut::command | 0x10000));  // Caps Lock on is no other shortcut
    EXPECT_EQ(test::logCount("engine: end session shortcut"), 1u);
    EXPECT_EQ(stream->window(), nullptr);
}

// A screen taller than wide: the window asks whether to show Windows sideways.
class SidewaysIntegrationTest : public StreamWindowIntegrationTest {
protected:
    void startSideways() {
        startBox(false);
        defaults->set("Corvane.EngineFakeSidewaysScreen", platform::DefaultsValue{true});
        settings.matchWindowShape = true;
        makeStream();
        opening(opened, error);
    }
    bool opened = false;
    std::exception_ptr error;
};

TEST_F(SidewaysIntegrationTest, QuestionIsAnsweredAndRemembered) {
    startSideways();
    QMessageBox* sheet = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        sheet = stream->window() ? stream->window()->findChild<QMessageBox*>() : nullptr;
        return sheet && sheet->isVisible();
    }, 10000));
    EXPECT_EQ(sheet->text(), "Your screen is sideways. Show Windows sideways too?");
    EXPECT_EQ(sheet->informativeText(), "Windows switches to a tall screen to fill it. Corvane remembers your choice for this screen.");
    QStringList buttons;
    for (const auto* button : sheet->buttons()) buttons << button->text();
    EXPECT_EQ(buttons, (QStringList{"Show Sideways", "Keep Wide"}));
    EXPECT_EQ(sheet->defaultButton()->text(), "Show Sideways");
    EXPECT_TRUE(coverSays("Starting Windows..."));
    // The key goes where the window manager put the focus; give it to the question as a click would.
    test::runCommand("xdotool windowactivate " + std::to_string(sheet->winId()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sheet->isActiveWindow(); }, 10000));
    test::runCommand("xdotool key Return");
    ASSERT_TRUE(QTest::qWaitFor([&] { return opened; }, 20000));
    EXPECT_EQ(stream->streamSize(), (StreamSettings::Pixels{360, 640}));
    EXPECT_TRUE(test::logHasPrefix("engine: sideways screen "));
    const auto stored = defaults->object("Corvane.SidewaysScreens").value_or(platform::DefaultsValue{});
    const auto* answers = stored.get<platform::DefaultsValue::Dictionary>();
    ASSERT_TRUE(answers && answers->size() == 1u);
    EXPECT_TRUE(answers->begin()->first.ends_with(" 800x1280"));
    EXPECT_EQ(answers->begin()->second, platform::DefaultsValue{true});
    // The launch asked for the tall size.
    EXPECT_EQ(box->host().lastRequest("/launch")->item("mode").value_or("").rfind("360x640x", 0), 0u);
    // The next opening on the same screen asks nothing.
    stream->tearDown();
    open();
    EXPECT_EQ(stream->streamSize(), (StreamSettings::Pixels{360, 640}));
    EXPECT_EQ(stream->window()->findChild<QMessageBox*>(), nullptr);
}

// Which application the window streams, and how, for each state of the box; a failed start leaves nothing.
struct StartRow {
    const char* name;
    std::vector<boxsim::StreamingHost::App> apps;
    std::int64_t running;
    bool resumeSwitch;
    std::vector<std::string> calls;
    int errorCode;  // 0: opens; -1: the box's refusal
    const char* message = "The box has no Desktop to open.";
    bool paired = true;
    std::vector<std::string> refusedSizes{};
};

const boxsim::StreamingHost::App desktopApp{881448767, "Desktop", false};
const boxsim::StreamingHost::App gameApp{7, "Steam", false};
const boxsim::StreamingHost::App lowerApp{9, "desktop", false};

class SessionStartIntegrationTest : public StreamWindowIntegrationTest,
                                    public ::testing::WithParamInterface<StartRow> {};

TEST_P(SessionStartIntegrationTest, ChoosesTheApplication) {
    const StartRow& row = GetParam();
    startBox(false, [&](boxsim::Box::Options& options) {
        options.host.apps = row.apps;
        options.host.runningApp = row.running;
        options.host.refusedSizes = row.refusedSizes;
    }, row.paired);
    box->host().clearRequests();
    if (row.resumeSwitch) defaults->set("Corvane.EngineResumeDesktop", platform::DefaultsValue{true});
    makeStream();
    int code = 0;
    try {
        open();
    } catch (const EngineStream::Error& error) {
        code = error.code();
        EXPECT_STREQ(error.domain(), "Corvane");
        EXPECT_STREQ(error.what(), row.message);
    } catch (const std::exception&) {
        code = -1;
    }
    EXPECT_EQ(code, row.errorCode);
    EXPECT_EQ(hostCalls(), row.calls);
    for (const bool held : {stream->window() != nullptr, stream->session() != nullptr, stream->pipeline() != nullptr,
                            stream->audio() != nullptr})
        EXPECT_EQ(held, row.errorCode == 0);
    EXPECT_TRUE(endings.empty());
    EXPECT_FALSE(test::pointerGrabbedElsewhere());
    EXPECT_EQ(test::logCount("engine: starting Desktop fresh instead of resuming (resume shows black)"), row.calls.size() == 2 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SessionStartIntegrationTest,
    ::testing::Values(StartRow{"DesktopNothingRuns", {gameApp, desktopApp}, 0, false, {"/launch 881448767"}, 0},
                      StartRow{"DesktopRunsResumeOn", {desktopApp}, 881448767, true, {"/resume 881448767"}, 0},
                      StartRow{"DesktopRunsResumeOff", {desktopApp}, 881448767, false, {"/cancel", "/launch 881448767"}, 0},
                      StartRow{"AnotherAppRuns", {desktopApp, gameApp}, 7, false, {"/resume 7"}, 0},
                      StartRow{"NoDesktopNothingRuns", {lowerApp}, 0, false, {}, 2},
                      StartRow{"NoDesktopAppRuns", {lowerApp}, 9, false, {"/resume 9"}, 0},
                      StartRow{"Unpaired", {desktopApp}, 0, false, {}, 1, "Corvane isn't paired with the box yet.", false},
                      StartRow{"RefusedLaunch", {desktopApp}, 0, false, {"/launch 881448767"}, -1, "", true, {"640x360"}}),
    [](const ::testing::TestParamInfo<StartRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvane
