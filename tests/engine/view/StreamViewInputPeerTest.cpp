// The stream view's input side driven by real X events (xdotool through XTest) on a virtual display.
#include "engine/view/StreamView.hpp"
#include <QCursor>
#include <QMouseEvent>
#include <QTest>
#include "engine/input/InputPacket.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/GuiEnvironment.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

using InputPacket::Modifiers;
using InputPacket::MouseButton;

const Modifiers none{};

class StreamViewInput : public ::testing::Test {
protected:
    void SetUp() override {
        test::GuiEnvironment::ensure();
        xdo("mousemove 1200 780");  // away from the view
        view = std::make_unique<StreamView>(QRect(0, 0, 640, 400));
        view->inputHooks.send = [this](Bytes packet) { packets.push_back(std::move(packet)); };
        view->inputHooks.onCaptureChanged = [this](bool captured) { captureChanges.push_back(captured); };
        view->inputHooks.streamSize = {1280, 800};
        view->show();
        view->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(view.get(), 10000));
        view->setFocus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return view->hasFocus(); }, 10000));
    }
    void TearDown() override {
        view.reset();
        // Nothing stays held on the shared display for the next test.
        test::runCommand("xdotool keyup Shift_L Shift_R Super_L a mouseup 1 2>&1");
    }
    static void xdo(const std::string& arguments) {
        const auto result = test::runCommand("xdotool " + arguments + " 2>&1");
        ASSERT_EQ(result.status, 0) << arguments << ": " << result.output;
    }
    // Puts the real pointer on a point of the view, given in the view's own (top-left) coordinates, and
    // waits until the view has seen it get there. Coming from outside, the first place reaches the view as
    // an enter, and a move to where the last test left the pointer is dropped by Qt as no move at all; so
    // the pointer enters beside the point, moves once more beside it, and only then onto it.
    void pointAt(int x, int y) {
        const int step = x > 2 ? -1 : 1;
        for (const int away : {1, 2, 0}) moveTo(QPoint(x, y) + away * QPoint(step, step), away != 1);
    }
    void moveTo(QPoint point, bool awaitMove) {
        MoveWatch watch(point);
        view->installEventFilter(&watch);
        const QPoint global = view->mapToGlobal(point);
        xdo("mousemove " + std::to_string(global.x()) + " " + std::to_string(global.y()));
        EXPECT_TRUE(QTest::qWaitFor([&] { return awaitMove ? watch.moved : watch.arrived; }, 10000)) << point.x() << "," << point.y();
        view->removeEventFilter(&watch);
    }
    struct MoveWatch : QObject {
        explicit MoveWatch(QPoint target) : target(target) {}
        bool eventFilter(QObject*, QEvent* event) override {
            const bool move = event->type() == QEvent::MouseMove;
            if ((move || event->type() == QEvent::Enter) && static_cast<QSinglePointEvent*>(event)->position().toPoint() == target)
                arrived = true, moved = moved || move;
            return false;
        }
        QPoint target;
        bool arrived = false, moved = false;
    };
    Bytes last() const { return packets.empty() ? Bytes{} : packets.back(); }
    bool received(const std::vector<Bytes>& expected) {
        (void)QTest::qWaitFor([&] { return packets.size() >= expected.size(); }, 10000);
        return packets == expected;
    }
    std::unique_ptr<StreamView> view;
    std::vector<Bytes> packets;
    std::vector<bool> captureChanges;
    test::EngineLogCapture log;
};

TEST_F(StreamViewInput, KeysGoOutAsWindowsKeysWithTheirModifiers) {
    using InputPacket::key;
    constexpr auto shift = Modifiers::shift, meta = Modifiers::meta, control = Modifiers::control;
    struct Row {
        const char* xdotool;
        bool commandAsControl;
        std::vector<Bytes> expected;
    };
    const Row rows[] = {
        // Left and right Shift are told apart and carry their new state.
        {"keydown Shift_L keydown Shift_R keyup Shift_L keyup Shift_R", false,
         {key(0xA0, true, shift), key(0xA1, true, shift), key(0xA0, false, shift), key(0xA1, false, none)}},
        // Caps Lock: one press for each change.
        {"key Caps_Lock key Caps_Lock", false,
         {key(0x14, true, none), key(0x14, false, none), key(0x14, true, none), key(0x14, false, none)}},
        {"key Left Up F1 F12 Tab keydown Shift_L keydown b keyup b keyup Shift_L", false,
         {key(0x25, true, none), key(0x25, false, none), key(0x26, true, none), key(0x26, false, none),
          key(0x70, true, none), key(0x70, false, none), key(0x7B, true, none), key(0x7B, false, none),
          key(0x09, true, none), key(0x09, false, none), key(0xA0, true, shift), key(0x42, true, shift),
          key(0x42, false, shift), key(0xA0, false, none)}},
        // Command is the Windows key, or Control when asked.
        {"keydown Super_L keydown w keyup w keyup Super_L", false,
         {key(0x5B, true, meta), key(0x57, true, meta), key(0x57, false, meta), key(0x5B, false, none)}},
        {"keydown Super_L keydown w keyup w keyup Super_L", true,
         {key(0xA2, true, control), key(0x57, true, control), key(0x57, false, control), key(0xA2, false, none)}},
        // Command-Q lets go of held keys without modifiers and sends nothing of its own; Command's own release follows.
        {"keydown a key super+q keyup a", true,
         {key(0x41, true, none), key(0xA2, true, control), key(0x41, false, none), key(0xA2, false, none),
          key(0xA2, false, none), key(0x41, false, none)}},
    };
    for (const Row& row : rows) {
        packets.clear();
        view->inputHooks.commandAsControl = row.commandAsControl;
        xdo(row.xdotool);
        EXPECT_TRUE(received(row.expected)) << row.xdotool;
        EXPECT_TRUE(view->inputState.keysDown.empty()) << row.xdotool;
    }
    // The shortcut hook is offered key downs only and takes what it claims.
    packets.clear();
    std::vector<std::uint16_t> offered;
    view->inputHooks.shortcut = [&](const platform::KeyEvents::Event& event) {
        offered.push_back(event.keyCode);
        return event.keyCode == 0x00;  // the A key
    };
    xdo("key a key s");
    EXPECT_TRUE(received({key(0x41, false, none), key(0x53, true, none), key(0x53, false, none)}));
    EXPECT_EQ(offered, (std::vector<std::uint16_t>{0x00, 0x01}));
}

TEST_F(StreamViewInput, AbsolutePositionsMapIntoTheLetterboxedPicture) {
    // 1920 x 1080 in 640 x 400: the picture is 640 x 360 with bars of 20 above and below.
    view->inputHooks.streamSize = {1920, 1080};
    pointAt(320, 200);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !packets.empty(); }, 10000));
    EXPECT_EQ(last(), InputPacket::mousePosition(960, 540, 1920, 1080));
    EXPECT_TRUE(log.has("input: Mac pointer hidden over the picture (app active true)"));
    EXPECT_EQ(view->cursor().shape(), Qt::BlankCursor);
    // Over the top bar: the picture's top edge, and the desktop pointer shows again.
    pointAt(10, 5);
    EXPECT_EQ(last(), InputPacket::mousePosition(30, 0, 1920, 1080));
    EXPECT_TRUE(log.has("input: Mac pointer shown"));
    EXPECT_NE(view->cursor().shape(), Qt::BlankCursor);
    pointAt(639, 399);
    EXPECT_EQ(last(), InputPacket::mousePosition(1917, 1079, 1920, 1080));
    EXPECT_EQ(log.count("input: Mac pointer hidden over the picture (app active true)"), 1u);
    // Positions are rounded: 1000 x 625 fills the view at 1.5625 box pixels per view pixel.
    view->inputHooks.streamSize = {1000, 625};
    pointAt(1, 3);
    EXPECT_EQ(last(), InputPacket::mousePosition(2, 5, 1000, 625));
}

TEST_F(StreamViewInput, ButtonsAndWheelSteps) {
    pointAt(320, 200);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !packets.empty(); }, 10000));
    packets.clear();
    const Bytes position = InputPacket::mousePosition(640, 400, 1280, 800);
    xdo("click 1 click 3 click 2 click 8 click 9");
    xdo("click 4 click 5 click 6 click 7");
    // Every click carries the position first; the wheel's steps are 120 each way.
    std::vector<Bytes> expected;
    for (const MouseButton b : {MouseButton::left, MouseButton::right, MouseButton::middle, MouseButton::x1, MouseButton::x2})
        expected.insert(expected.end(), {position, InputPacket::mouseButton(b, true), InputPacket::mouseButton(b, false)});
    expected.insert(expected.end(), {InputPacket::scroll(120), InputPacket::scroll(-120), InputPacket::horizontalScroll(-120),
                                     InputPacket::horizontalScroll(120)});
    EXPECT_TRUE(received(expected));
    EXPECT_EQ(log.count("input: first click (desktop mode)"), 1u);
    EXPECT_TRUE(view->inputState.buttonsDown.empty());
}

TEST_F(StreamViewInput, GamesModeCapturesOnTheFirstClickAndSendsRawMotion) {
    view->inputHooks.mouseMode = MouseMode::relative;
    pointAt(320, 200);
    const QPoint before = QCursor::pos();
    // Before the capture a right click does nothing; the wheel still scrolls.
    xdo("click 3 click 4");
    EXPECT_TRUE(received({InputPacket::scroll(120)}));
    EXPECT_FALSE(view->isPointerCaptured());
    packets.clear();
    // The first click only captures; neither it nor its release is sent.
    xdo("click 1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->isPointerCaptured(); }, 10000));
    EXPECT_TRUE(log.has("input: first click (games mode)"));
    EXPECT_TRUE(log.has("input: pointer captured (ok)"));
    EXPECT_EQ(captureChanges, std::vector<bool>{true});
    xdo("mousemove_relative 5 7");
    xdo("mousemove_relative -- -3 -2");
    EXPECT_TRUE(received({InputPacket::mouseMove(5, 7), InputPacket::mouseMove(-3, -2)}));
    // Captured clicks go through without a position; the keyboard is still ours.
    xdo("click 1 key a");
    EXPECT_TRUE(received({InputPacket::mouseMove(5, 7), InputPacket::mouseMove(-3, -2),
                          InputPacket::mouseButton(MouseButton::left, true),
                          InputPacket::mouseButton(MouseButton::left, false), InputPacket::key(0x41, true, none),
                          InputPacket::key(0x41, false, none)}));
    // Fractions wait for the next motion.
    packets.clear();
    view->relativeMotion(0.4, 0.4);
    view->relativeMotion(0.4, 0.4);
    EXPECT_TRUE(packets.empty());
    view->relativeMotion(0.4, 0.4);
    EXPECT_EQ(packets, std::vector<Bytes>{InputPacket::mouseMove(1, 1)});
    EXPECT_NEAR(view->inputState.pendingDX, 0.2, 1e-9);
    // Released: motion is no longer sent, and the pointer is back where the capture began.
    packets.clear();
    view->releasePointer();
    view->releasePointer();
    EXPECT_EQ(log.count("input: pointer released"), 1u);
    EXPECT_EQ(captureChanges, (std::vector<bool>{true, false}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QCursor::pos() == before; }, 10000));
    xdo("mousemove_relative 4 4 click 4");
    EXPECT_TRUE(received({InputPacket::scroll(120)}));
}

TEST_F(StreamViewInput, AFailedGrabIsLoggedWithItsCodeAndStillCountsAsCaptured) {
    // A window that is not on screen cannot take the pointer: X answers "not viewable" (3).
    view->hide();
    view->capturePointer();
    EXPECT_TRUE(view->isPointerCaptured());
    EXPECT_TRUE(log.has("input: pointer captured (error 3)"));
    view->capturePointer();
    EXPECT_EQ(captureChanges, std::vector<bool>{true});
    view->releaseAllInput();
    EXPECT_FALSE(view->isPointerCaptured());
    EXPECT_TRUE(log.has("input: pointer released"));
    EXPECT_EQ(captureChanges, (std::vector<bool>{true, false}));
}

TEST_F(StreamViewInput, ReleaseAllInputLetsGoOfHeldKeysAndButtons) {
    pointAt(320, 200);
    xdo("keydown a keydown Shift_L mousedown 1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->inputState.buttonsDown.size() == 1; }, 10000));
    packets.clear();
    view->releaseAllInput();
    EXPECT_TRUE(received({InputPacket::key(0x41, false, none), InputPacket::key(0xA0, false, none),
                          InputPacket::mouseButton(MouseButton::left, false)}));
    EXPECT_FALSE(log.has("input: pointer released"));
    EXPECT_TRUE(log.has("input: Mac pointer shown"));
    // The button's own release later sends nothing more.
    packets.clear();
    xdo("mouseup 1 click 4");
    EXPECT_TRUE(received({InputPacket::scroll(120)}));
}

TEST_F(StreamViewInput, LosingAndRegainingTheActiveWindowShowsAndHidesThePointer) {
    pointAt(320, 200);
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->inputState.macPointerHidden; }, 10000));
    QWidget other;
    other.setGeometry(700, 500, 100, 100);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view->inputState.macPointerHidden; }, 10000));
    EXPECT_TRUE(log.has("input: Mac pointer shown"));
    // Active again with the pointer still over the picture.
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get(), 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->inputState.macPointerHidden; }, 10000));
    EXPECT_EQ(log.count("input: Mac pointer hidden over the picture (app active true)"), 2u);
}

}  // namespace
}  // namespace corvane::stream
