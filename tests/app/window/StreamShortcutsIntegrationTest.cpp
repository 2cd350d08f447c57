// The end-session shortcut pressed for real (xdotool), and the statistics lines on the stream's own clock.
#include "tests/app/window/StreamWindowFixture.hpp"

namespace corvane {
namespace {

using test::Endings;
using test::StreamWindowIntegrationTest;

TEST_F(StreamWindowIntegrationTest, StatisticsEveryFiveSecondsThenTheEndSessionShortcutClosesTheWindow) {
    ManualClock clock;
    startBox(true);
    makeStream(clock);
    open();
    ASSERT_TRUE(waitForPictures());
    EXPECT_EQ(test::logCount("engine: shown "), 0u);
    clock.advance(4.9);
    QCoreApplication::processEvents();
    EXPECT_EQ(test::logCount("engine: shown "), 0u);
    clock.advance(0.1);
    ASSERT_TRUE(QTest::qWaitFor([] { return test::logCount("engine: shown ") == 1; }, 5000));
    EXPECT_EQ(test::logCount("engine: end to end "), 1u);
    clock.advance(5.0);
    ASSERT_TRUE(QTest::qWaitFor([] { return test::logCount("engine: shown ") == 2; }, 5000));

    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->window()->isActiveWindow(); }, 10000));
    test::runCommand("xdotool key --clearmodifiers ctrl+alt+shift+q");
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->window() == nullptr; }, 10000));
    EXPECT_EQ(endings, Endings{std::nullopt});
    EXPECT_EQ(test::logCount("engine: end session shortcut"), 1u);
    EXPECT_TRUE(test::logHas("engine: window closed"));
    EXPECT_TRUE(test::logHasPrefix("engine: session totals: shown "));
    // The box keeps its application: a launch, no cancel.
    EXPECT_EQ(hostCalls(), std::vector<std::string>{"/launch 881448767"});
}

}  // namespace
}  // namespace corvane
