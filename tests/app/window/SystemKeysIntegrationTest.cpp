// Shown full screen with sendMacShortcuts: the window holds the keyboard, keys reach the box, the desktop stays.
#include "tests/app/window/StreamWindowFixture.hpp"
#include "tests/support/OwnedProcess.hpp"

namespace corvane {
namespace {

class SystemKeysIntegrationTest : public test::StreamWindowIntegrationTest {};

TEST_F(SystemKeysIntegrationTest, FullScreenSendsTheDesktopsKeysToWindows) {
    settings.sendMacShortcuts = true;
    settings.displayMode = StreamSettings::DisplayMode::fullscreen;  // "Show as Full screen"
    openStream(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->systemKeys().grabbed(); }, 10000));
    EXPECT_TRUE(test::logHas("engine: Mac shortcuts go to Windows (full screen)"));
    EXPECT_TRUE(test::keyboardGrabbedElsewhere());
    // openbox's own desktop-switch key reaches the box as key packets; the desktop stays.
    const auto sentBefore = stream->session()->stats().controlSent;
    test::runCommand("xdotool key ctrl+alt+Right");
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->session()->stats().controlSent >= sentBefore + 4; }, 5000));
    EXPECT_EQ(test::runCommand("wmctrl -d | grep -c '\\*' && wmctrl -d | awk '$2==\"*\"{print $1}'").output, "1\n0\n");
    // Another application activated: the grab goes with the focus, so what is typed there never reaches the
    // box; back on the stream window the grab is taken again.
    test::OwnedProcess other("xmessage -name corvane-other other >/dev/null 2>&1");
    test::runCommand("timeout 10 xdotool search --sync --onlyvisible --classname corvane-other windowactivate --sync");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !stream->systemKeys().grabbed(); }, 5000));
    EXPECT_FALSE(test::keyboardGrabbedElsewhere());
    const auto keys = [&] { return std::ranges::count(box->control()->messages(), 0x0206, &boxsim::ControlServer::Message::type); };
    const auto before = keys();
    test::runCommand("xdotool type hello && xdotool windowactivate --sync " + winId());
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->systemKeys().grabbed(); }, 5000));
    test::runCommand("xdotool key x");
    ASSERT_TRUE(QTest::qWaitFor([&] { return keys() >= before + 2; }, 5000));
    EXPECT_EQ(keys(), before + 2);  // the down and up of "x" alone
    // After the release shortcut the desktop's keys act on the desktop again.
    test::runCommand("xdotool key --clearmodifiers ctrl+alt+shift+z");
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->systemKeys().paused(); }, 5000));
    EXPECT_FALSE(test::keyboardGrabbedElsewhere());
    test::runCommand("xdotool key ctrl+alt+Right");
    EXPECT_TRUE(QTest::qWaitFor(
        [] { return test::runCommand("wmctrl -d | awk '$2==\"*\"{print $1}'").output == "1\n"; }, 5000));
    test::runCommand("wmctrl -s 0");
    // Leaving full screen gives the keys back, saying so once.
    test::runCommand("wmctrl -i -r " + winId() + " -b remove,fullscreen");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !stream->systemKeys().running(); }, 10000));
    EXPECT_FALSE(test::keyboardGrabbedElsewhere());
    EXPECT_EQ(test::logCount("engine: Mac shortcuts back on the Mac"), 1u);
    // The caller's own tear-down reports no ending.
    const auto session = stream->session();
    stream->tearDown();
    EXPECT_EQ(test::logCount("engine: Mac shortcuts back on the Mac"), 1u);
    EXPECT_EQ(stream->window(), nullptr);
    EXPECT_EQ(stream->session(), nullptr);
    session->stop(false);
    QTest::qWait(100);
    EXPECT_TRUE(endings.empty());
}

}  // namespace
}  // namespace corvane
