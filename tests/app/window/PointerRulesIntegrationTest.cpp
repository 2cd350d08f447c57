// Pointer capture while Windows hides its cursor, on the simulated box's cursor replies and a stepped clock.
#include <QLabel>
#include "tests/app/window/StreamWindowFixture.hpp"

namespace corvane {
namespace {

class PointerRulesIntegrationTest : public test::StreamWindowIntegrationTest {
protected:
    void SetUp() override {
        StreamWindowIntegrationTest::SetUp();
        settings.mouse = StreamSettings::MouseMode::automatic;
    }
    // One cursor poll: the clock steps 0.25 s, the box is asked, and its reply is handled.
    void poll(int times = 1) {
        for (int i = 1; i < times; ++i) poll();
        const auto before = box->agent().seen("GET /v1/user/cursor").size();
        clock.advance(0.25);
        ASSERT_TRUE(QTest::qWaitFor([&] { return box->agent().seen("GET /v1/user/cursor").size() > before; }, 5000));
        QTest::qWait(150);
    }
    void pointerOverPicture() { test::runCommand("xdotool mousemove --window " + winId() + " 320 180"); }
    void pointerElsewhere() { test::runCommand("xdotool mousemove 1430 890"); }
    void openActive() {
        startBox(false);
        makeStream(clock);
        open();
        ASSERT_TRUE(QTest::qWaitFor([&] { return stream->window()->isActiveWindow(); }, 10000));
    }
    bool captured() const { return stream->view() && stream->view()->isPointerCaptured(); }
    ManualClock clock;
};

TEST_F(PointerRulesIntegrationTest, HiddenCursorCapturesAndEveryWayOutReleases) {
    openActive();
    // The statistics lines every 5 s of the stream's clock.
    clock.advance(5.0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return test::logHasPrefix("engine: end to end 0.0 ms (box "); }, 5000));
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
    EXPECT_EQ(pill ? pill->text() : QString(), "Press Ctrl-Alt-Shift-Z to release the mouse");
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
    // Captured again, then another desktop: released with its line.
    box->agent().setCursorVisible(false);
    poll(3);
    ASSERT_TRUE(captured());
    test::runCommand("wmctrl -s 1");
    clock.advance(0.25);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !captured(); }, 5000));
    // The window manager may take the window's focus before it names the new desktop: then the capture
    // check sees a window no longer in front first.
    EXPECT_TRUE(test::logHas("engine: releasing the mouse: desktop changed") ||
                test::logHas("engine: releasing the mouse: window no longer in front"));
    test::runCommand("wmctrl -s 0");
}

TEST_F(PointerRulesIntegrationTest, AStaleHiddenReplyIsDropped) {
    openActive();
    pointerOverPicture();
    // The first poll's hidden reply comes late, after the second poll's visible one.
    box->agent().script("GET /v1/user/cursor", boxsim::Agent::Reply{.body = R"({"visible":false})", .delaySeconds = 0.6});
    poll(2);
    QTest::qWait(800);
    // Applied, the stale report would make the second hidden poll from here capture; dropped, the third does.
    box->agent().setCursorVisible(false);
    poll(2);
    EXPECT_FALSE(captured());
    poll();
    EXPECT_TRUE(captured());
    // After the window closes every watcher ends at its next wake: nothing keeps waiting on the clock.
    stream->window()->close();
    EXPECT_FALSE(test::pointerGrabbedElsewhere());
    clock.advance(5.0);
    EXPECT_EQ(clock.sleepers(), 0);
}

}  // namespace
}  // namespace corvane
