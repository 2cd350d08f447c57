// Pointer capture while Windows hides its cursor, on the simulated box's cursor replies and a stepped clock.
#include <QLabel>
#include <unistd.h>
#include "app/window/Desktops.hpp"
#include "tests/app/window/StreamWindowFixture.hpp"

namespace corvane {
namespace {

class PointerRulesIntegrationTest : public test::StreamWindowIntegrationTest {
protected:
    void SetUp() override {
        StreamWindowIntegrationTest::SetUp();
        settings.mouse = StreamSettings::MouseMode::automatic;
    }
    // One cursor poll: the clock steps 0.25 s, the box is asked and (when `answered`) every reply to the
    // polls asked so far handled, so a slow earlier reply cannot stand in for this one.
    void poll(int times = 1, bool answered = true) {
        for (int i = 0; i < times; ++i) {
            const auto asked = box->agent().seen("GET /v1/user/cursor").size();
            clock.advance(0.25);
            ASSERT_TRUE(QTest::qWaitFor([&] { return box->agent().seen("GET /v1/user/cursor").size() > asked; }, 5000));
            const auto total = box->agent().seen("GET /v1/user/cursor").size();
            ASSERT_TRUE(QTest::qWaitFor([&] { return !answered || stream->cursorReplies() >= total; }, 5000));
        }
    }
    void pointerOverPicture() { test::runCommand("xdotool mousemove --window " + winId() + " 320 180"); }
    void pointerElsewhere() { test::runCommand("xdotool mousemove 1430 890"); }
    void openActive() {
        openStream(false, {}, clock);
        ASSERT_TRUE(QTest::qWaitFor([&] { return stream->window()->isActiveWindow(); }, 10000));
    }
    bool captured() const { return stream->view() && stream->view()->isPointerCaptured(); }
    ManualClock clock;
};

TEST_F(PointerRulesIntegrationTest, HiddenCursorCapturesAndEveryWayOutReleases) {
    openActive();
    // The statistics lines every 5 s of the stream's clock.
    clock.advance(4.9);
    EXPECT_EQ(test::logCount("engine: shown "), 0u);
    clock.advance(0.1);
    EXPECT_TRUE(test::logHasPrefix("engine: end to end 0.0 ms (box "));
    EXPECT_TRUE(test::logHasPrefix("engine: shown 0 FPS (0 total), decoded 0, "));
    EXPECT_TRUE(test::logHasPrefix("engine: sound: 0 frames, rebuilt 0, lost 0, "));
    // Hidden with the pointer outside the picture: never captured.
    pointerElsewhere();
    box->agent().setCursorVisible(false);
    poll(3);
    EXPECT_FALSE(captured());
    // Over the picture the next hidden report captures at once (0.3 s have long passed).
    pointerOverPicture();
    poll();
    ASSERT_TRUE(captured());
    EXPECT_TRUE(test::logHas("engine: Windows hid its cursor (game); capturing the mouse"));
    EXPECT_EQ(stream->view()->inputHooks.mouseMode, stream::MouseMode::relative);
    EXPECT_TRUE(test::pointerGrabbedElsewhere());
    // The hint over the picture tells how to get out.
    auto* pill = qobject_cast<QLabel*>(stream->hint().panel());
    EXPECT_EQ(pill ? pill->text() : QString(), "Press Ctrl + Alt + Shift + Z to release the mouse");
    EXPECT_TRUE(test::logHasPrefix("engine: release hint shown at {{"));
    // Visible again: released, absolute mouse.
    box->agent().setCursorVisible(true);
    poll();
    EXPECT_FALSE(captured());
    EXPECT_TRUE(test::logHas("engine: Windows shows its cursor again; releasing the mouse"));
    EXPECT_EQ(stream->view()->inputHooks.mouseMode, stream::MouseMode::absolute);
    EXPECT_FALSE(test::pointerGrabbedElsewhere());
    // Hidden reports 0.25 s apart capture on the third, not the second.
    box->agent().setCursorVisible(false);
    poll(2);
    EXPECT_FALSE(captured());
    poll();
    ASSERT_TRUE(captured());
    // The release shortcut frees it and holds automatic capture until Windows shows its cursor.
    test::runCommand("xdotool key --clearmodifiers ctrl+alt+shift+z");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !captured(); }, 5000));
    EXPECT_TRUE(test::logHas("engine: release mouse shortcut"));
    EXPECT_TRUE(stream->autoCaptureHeld());
    poll(3);
    EXPECT_FALSE(captured());
    box->agent().setCursorVisible(true);
    poll();
    EXPECT_FALSE(stream->autoCaptureHeld());
    // Captured again, then another desktop: the capture check's next tick sees it (before any event of the
    // switch is handled) and releases with its line.
    box->agent().setCursorVisible(false);
    poll(3);
    ASSERT_TRUE(captured());
    // The poll of that same tick goes out before the window hears of the switch; its hidden reply comes late.
    box->agent().script("GET /v1/user/cursor", boxsim::Agent::Reply{.body = R"({"visible":false})", .delaySeconds = 0.6});
    const auto replies = stream->cursorReplies();
    test::runCommand("wmctrl -s 1");
    for (int i = 0; i < 500 && Desktops::current() != 1; ++i) usleep(10000);
    ASSERT_EQ(Desktops::current(), 1);
    clock.advance(0.25);
    EXPECT_FALSE(captured());
    EXPECT_TRUE(test::logHas("engine: releasing the mouse: desktop changed"));
    // Arriving while the window is on another desktop, it captures nothing.
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->cursorReplies() > replies; }, 5000));
    EXPECT_FALSE(captured());
    test::runCommand("wmctrl -s 0");
}

TEST_F(PointerRulesIntegrationTest, AStaleHiddenReplyIsDropped) {
    openActive();
    pointerOverPicture();
    // The first poll's hidden reply comes late, after the second poll's visible one.
    box->agent().script("GET /v1/user/cursor", boxsim::Agent::Reply{.body = R"({"visible":false})", .delaySeconds = 0.6});
    const auto replies = stream->cursorReplies();
    poll(2, false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->cursorReplies() == replies + 2; }, 5000));
    // Applied, the stale report would make the second hidden poll from here capture; dropped, the third does.
    box->agent().setCursorVisible(false);
    poll(2);
    EXPECT_FALSE(captured());
    poll();
    EXPECT_TRUE(captured());
    // The end-session shortcut closes the window; the box keeps its application. Every watcher ends at its
    // next wake: nothing keeps waiting on the clock.
    test::runCommand("xdotool key --clearmodifiers ctrl+alt+shift+q");
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->window() == nullptr; }, 10000));
    EXPECT_EQ(endings, test::Endings{std::nullopt});
    EXPECT_EQ(test::logCount("engine: end session shortcut"), 1u);
    EXPECT_TRUE(test::logHasPrefix("engine: session totals: shown "));
    EXPECT_TRUE(test::logHas("engine: window closed"));
    EXPECT_EQ(hostCalls(), std::vector<std::string>{"/launch 881448767"});
    EXPECT_FALSE(test::pointerGrabbedElsewhere());
    clock.advance(5.0);
    EXPECT_EQ(clock.sleepers(), 0);
}

}  // namespace
}  // namespace corvane
