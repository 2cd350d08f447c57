// The window's opening size on screens of the sizes that decide it, each on a virtual display of exactly
// that size: the test runs itself again with CORVANE_TEST_SCREEN and the row it opens there.
#include "app/window/EngineStream.hpp"
#include <cstdlib>
#include "tests/app/window/StreamWindowFixture.hpp"

namespace corvane {
namespace {

const struct {
    const char* screen;  // Xvfb's screen, WxHxDepth
    StreamSettings::Size size;
    const char* content;  // the window's content, WxH
} sizeRows[] = {
    {"1440x900x24", StreamSettings::Size::qhd, "1224x689"},   // 0.85 of the width; 688.5 rounds up
    {"3000x2000x24", StreamSettings::Size::hd, "1920x1080"},  // never enlarged
};

std::string text(QSize size) { return std::to_string(size.width()) + "x" + std::to_string(size.height()); }

using test::StreamWindowIntegrationTest;

TEST_F(StreamWindowIntegrationTest, OpensAtItsSizeOnEachScreen) {
    if (const char* index = std::getenv("CORVANE_TEST_SIZE_ROW")) {
        const auto& row = sizeRows[std::atoi(index)];
        StreamSettings::setScreenSource(nullptr);
        settings.size = row.size;
        openStream(false);
        ASSERT_EQ(text(QGuiApplication::primaryScreen()->size()) + "x24", row.screen);
        EXPECT_TRUE(QTest::qWaitFor([&] { return text(stream->window()->size()) == row.content; }, 10000))
            << text(stream->window()->size());
        return;
    }
    for (std::size_t i = 0; i < std::size(sizeRows); ++i) {
        const auto run = test::runCommand("CORVANE_TEST_SCREEN=" + std::string(sizeRows[i].screen) + " CORVANE_TEST_SIZE_ROW=" +
                                          std::to_string(i) + " /proc/" + std::to_string(::getpid()) +
                                          "/exe --gtest_filter='*OpensAtItsSizeOnEachScreen*' 2>&1");
        EXPECT_TRUE(run.status == 0 && run.output.find("[       OK ] ") != std::string::npos) << sizeRows[i].screen << "\n" << run.output;
    }
}

} // namespace
} // namespace corvane
