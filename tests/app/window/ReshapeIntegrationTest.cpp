// The box follows the window's shape: display-mode bodies to the agent, the resize request on the control
// channel, a picture of the new size, and the restart, retry and fallback paths when none comes. On the
// stream's own clock, stepped by the test: only the box and the decoder take real time.
#include <nlohmann/json.hpp>
#include "tests/app/window/StreamWindowFixture.hpp"

namespace corvane {
namespace {

class ReshapeIntegrationTest : public test::StreamWindowIntegrationTest {
protected:
    void SetUp() override {
        StreamWindowIntegrationTest::SetUp();
        settings.matchWindowShape = true;
    }
    void openOnTheClock(const std::function<void(boxsim::Box::Options&)>& tweak = {}) {
        openStream(true, tweak, clock);
        ASSERT_TRUE(waitForPictures());
    }
    // The window at a new size, once its view has it.
    void resized(int width, int height) {
        test::runCommand("xdotool windowsize " + winId() + " " + std::to_string(width) + " " + std::to_string(height));
        ASSERT_TRUE(QTest::qWaitFor([&] { return stream->view()->size() == QSize(width, height); }, 10000));
    }
    bool waitForLine(const std::string& start, std::size_t count = 1) {
        return QTest::qWaitFor([&] { return test::logCount(start) >= count; }, 30000);
    }
    // Until the `count`th such line: the clock steps 50 ms whenever a picture of `size` is at hand, so a wait for
    // it sees it at its next look and never runs out meanwhile.
    bool pumpFor(QSize size, const std::string& line, std::size_t count = 1) {
        return QTest::qWaitFor([&] {
            const auto frame = stream->view() ? stream->view()->slot().take() : std::nullopt;
            if (frame && frame->image && QSize(frame->image->width(), frame->image->height()) == size) clock.advance(0.05);
            return test::logCount(line) >= count;
        }, 30000);
    }
    ManualClock clock;
};

TEST_F(ReshapeIntegrationTest, TheBoxFollowsTheWindowLive) {
    openOnTheClock();
    // A 16:9 window streams the 16:9 size chosen: nothing to do. A square one: 1:1 at the opened area.
    resized(1000, 563);
    clock.advance(0.25);
    EXPECT_TRUE(test::logHas("engine: reshape: window content 1000x563 pt matches the stream (640x360); nothing to do"));
    resized(700, 700);
    clock.advance(0.25);
    ASSERT_TRUE(waitForLine("engine: reshape: listed on the box at "));
    ASSERT_TRUE(pumpFor({480, 480}, "engine: reshape: done in "));
    EXPECT_TRUE(test::logHasPrefix("engine: reshape: window content 700x700 pt; Windows 640x360 -> 480x480"));
    EXPECT_TRUE(test::logHasPrefix("engine: live resize: first 480x480 picture at "));
    EXPECT_NE(test::appLog().find(" ms at 480x480 (live)\n"), std::string::npos);
    EXPECT_EQ(sizes, (std::vector<std::pair<int, int>>{{480, 480}}));
    // The agent got the twelve ready sizes once (answered 200), then one display mode per preparation.
    const auto bodies = box->agent().displayModeBodies();
    ASSERT_EQ(bodies.size(), 3u);
    EXPECT_EQ(nlohmann::json::parse(bodies[0]),
              nlohmann::json::parse(R"({"sizes":[[360,640],[392,584],[416,552],[432,536],[480,480],[536,432],)"
                                    R"([552,416],[584,392],[608,376],[640,360],[680,336],[736,312]]})"));
    EXPECT_EQ(nlohmann::json::parse(bodies[1]), nlohmann::json::parse(R"({"width":640,"height":360})"));
    EXPECT_EQ(nlohmann::json::parse(bodies[2]), nlohmann::json::parse(R"({"width":480,"height":480})"));
    EXPECT_TRUE(test::logHasPrefix("engine: box ready shapes (12): 200 "));
    // The streaming host was asked over the control channel: 0x5503, width then height, 16-bit little-endian.
    EXPECT_TRUE(box->control()->waitFor([](const auto& record) {
        return std::ranges::any_of(record, [](const auto& m) { return m.type == 0x5503 && m.payload == Bytes{0xE0, 0x01, 0xE0, 0x01}; });
    }, 5));
    // A drag is one reshape, at its end: shapes held past the debounce with the button down start none;
    // once it is up, and the debounce passed again, the last shape (2:1) is streamed.
    test::runCommand("xdotool mousemove 1430 890 mousedown 1");
    for (const int width : {800, 900, 1000}) {
        resized(width, 500);
        clock.advance(0.5);
    }
    EXPECT_EQ(test::logCount("pt; Windows "), 1u);
    test::runCommand("xdotool mouseup 1");
    clock.advance(0.15);
    EXPECT_EQ(test::logCount("pt; Windows "), 1u);
    clock.advance(0.15);
    EXPECT_TRUE(test::logHasPrefix("engine: reshape: window content 1000x500 pt; Windows 480x480 -> 680x336"));
    ASSERT_TRUE(pumpFor({680, 336}, "engine: reshape: done in ", 2));
    EXPECT_EQ(test::logCount("pt; Windows "), 2u);
    EXPECT_EQ(stream->streamSize(), (StreamSettings::Pixels{680, 336}));
    // Three seconds after the session started the box was asked to refresh its wallpaper.
    clock.advance(3.0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !box->agent().wallpaperReasons().empty(); }, 10000));
    EXPECT_EQ(box->agent().wallpaperReasons().front(), "session start");
    EXPECT_TRUE(QTest::qWaitFor([&] { return test::logHasPrefix("engine: wallpaper refresh (session start): 200 "); }, 5000));
}

// The reshape starts 0.2 s after the window's last change and, without a picture of the new size 3 s after
// asking for it, restarts the stream there; a window closed during a restart ends every step left.
TEST_F(ReshapeIntegrationTest, AnIgnoredResizeRestartsTheStreamAndAClosedWindowEndsTheReshape) {
    openOnTheClock([](boxsim::Box::Options& options) { options.resizeIgnored = true; });
    resized(700, 700);
    clock.advance(0.15);
    EXPECT_EQ(test::logCount("engine: reshape: "), 0u);
    clock.advance(0.1);
    EXPECT_TRUE(test::logHas("engine: reshape: window content 700x700 pt; Windows 640x360 -> 480x480"));
    ASSERT_TRUE(waitForLine("engine: reshape: listed on the box at "));
    clock.advance(2.9);
    EXPECT_EQ(test::logCount("engine: reshape: no live picture"), 0u);
    clock.advance(0.2);
    ASSERT_TRUE(test::logHas("engine: reshape: no live picture at 480x480; restarting the stream"));
    EXPECT_TRUE(coverSays("Resizing..."));
    ASSERT_TRUE(pumpFor({480, 480}, "engine: reshape: done in "));
    for (const char* line : {"engine: reshape: stream ended at ", "engine: reshape: session up at ",
                             "engine: reshape: first 480x480 picture at "})
        EXPECT_TRUE(test::logHasPrefix(line)) << line;
    EXPECT_EQ(test::appLog().find("(live)"), std::string::npos);
    EXPECT_EQ(stream->streamSize(), (StreamSettings::Pixels{480, 480}));
    EXPECT_EQ(box->host().lastRequest("/launch")->item("mode").value_or("").rfind("480x480x", 0), 0u);
    EXPECT_FALSE(stream->restarting());

    resized(1000, 500);
    clock.advance(0.25);
    ASSERT_TRUE(waitForLine("engine: reshape: listed on the box at ", 2));
    clock.advance(3.1);
    ASSERT_TRUE(test::logHas("engine: reshape: no live picture at 680x336; restarting the stream"));
    stream->window()->close();  // while the session is stopped for the restart
    ASSERT_TRUE(waitForLine("engine: reshape: done in ", 2));
    EXPECT_TRUE(test::logHasPrefix("engine: reshape: no picture at 680x336 after 3"));
    EXPECT_TRUE(test::logHas("engine: reshape: giving up on 680x336; back to 480x480"));
    const std::string log = test::appLog();
    const auto done = log.rfind(" engine: reshape: done in ");
    EXPECT_EQ(log.substr(log.find(" ms at ", done), 28), " ms at 680x336 (no picture)\n");
    EXPECT_FALSE(stream->restarting());
}

TEST_F(ReshapeIntegrationTest, ARefusedSizeFallsBackToTheOldOne) {
    openOnTheClock([](boxsim::Box::Options& options) {
        options.resizeIgnored = true;
        options.host.refusedSizes = {"480x480"};
    });
    resized(700, 700);
    clock.advance(0.25);
    ASSERT_TRUE(waitForLine("engine: reshape: listed on the box at "));
    clock.advance(3.1);
    ASSERT_TRUE(pumpFor({640, 360}, "engine: reshape: done in "));
    for (const char* line : {"engine: reshape: could not start at 480x480: ", "engine: retry: could not start at 480x480: ",
                             "engine: reshape: giving up on 480x480; back to 640x360\n", "engine: fallback: first 640x360 picture at "})
        EXPECT_TRUE(test::logHasPrefix(line)) << line;
    const std::string log = test::appLog();
    const auto done = log.find(" engine: reshape: done in ");
    ASSERT_NE(done, std::string::npos);
    EXPECT_EQ(log.substr(log.find('\n', done) - 14, 14), " ms at 640x360");
    EXPECT_EQ(stream->streamSize(), (StreamSettings::Pixels{640, 360}));
}

// Where a reshape may be waiting when its window closes.
enum class Await { readyShapes, displayMode, livePicture, streamStop, restartDisplayMode, restartLaunch, fallbackDisplayMode };

struct CloseRow {
    const char* name;
    Await at;
    bool asked;             // the streaming host had been asked for the new size by then
    std::size_t modes;      // display modes the agent was asked for in all, the opening's included
};

void PrintTo(const CloseRow& row, std::ostream* out) { *out << row.name; }

class ReshapeCloseTest : public ReshapeIntegrationTest, public ::testing::WithParamInterface<CloseRow> {
protected:
    // The agent answers the next display request only long after the window closed (after `first` more at once).
    void holdDisplayRequest(int first = 0) {
        if (first > 0) box->agent().script("POST /v1/display/mode", {.status = 200, .body = "{}", .times = first});
        box->agent().script("POST /v1/display/mode", {.status = 200, .body = "{}", .delaySeconds = kHeld});
    }
    std::vector<nlohmann::json> displayRequests() const {
        std::vector<nlohmann::json> bodies;
        for (const auto& seen : box->agent().seen("POST /v1/display/mode")) bodies.push_back(nlohmann::json::parse(seen.body));
        return bodies;
    }
    bool waitForDisplayRequests(std::size_t count) {
        return QTest::qWaitFor([&] { return box->agent().seen("POST /v1/display/mode").size() >= count; }, 30000);
    }
    static constexpr double kHeld = 4;
};

// However far the reshape got, the box ends at the stream's old mode, every request that went out has its answer
// in the log, and none that did not go out has a line.
TEST_P(ReshapeCloseTest, TheBoxIsPutBackAndTheLogSaysOnlyWhatWasAsked) {
    const CloseRow& row = GetParam();
    const Await at = row.at;
    startBox(true, [at](boxsim::Box::Options& options) {
        if (at == Await::fallbackDisplayMode) {
            options.resizeIgnored = true;
            options.host.refusedSizes = {"480x480"};  // the restart and the retry fail at once
        } else {
            options.sizesNeverShown = {"480x480"};  // taken live, but never shown
        }
    });
    // The opening's list of ready shapes refused: the reshape offers it again first.
    if (at == Await::readyShapes) box->agent().script("POST /v1/display/mode", {.status = 500, .body = "{}"});
    makeStream(clock);
    open();
    ASSERT_TRUE(waitForPictures());
    ASSERT_EQ(displayRequests().size(), 2u);
    const auto control = box->control();  // the session's, before any restart makes another
    switch (at) {
    case Await::readyShapes:
    case Await::displayMode: holdDisplayRequest(); break;
    case Await::restartDisplayMode: holdDisplayRequest(1); break;   // after the live request
    case Await::fallbackDisplayMode: holdDisplayRequest(3); break;  // after the live, restart and retry requests
    case Await::restartLaunch: {
        boxsim::StreamingHost::Fault held;
        held.path = "/launch";
        held.delaySeconds = kHeld;
        box->host().addFault(held);
        break;
    }
    default: break;
    }
    resized(700, 700);
    clock.advance(0.25);
    if (at == Await::readyShapes || at == Await::displayMode) {
        ASSERT_TRUE(waitForDisplayRequests(3));
    } else {
        ASSERT_TRUE(waitForLine("engine: reshape: listed on the box at "));
        // No live picture: the restart begins with stopping the session.
        if (at != Await::livePicture) clock.advance(3.1);
        const auto launches = [&] { return std::ranges::count(hostCalls(), "/launch 881448767"); };
        const bool there = at == Await::restartDisplayMode    ? waitForDisplayRequests(4)
                           : at == Await::fallbackDisplayMode ? waitForDisplayRequests(6)
                           : at == Await::restartLaunch       ? QTest::qWaitFor([&] { return launches() == 2; }, 30000)
                                                              : true;
        ASSERT_TRUE(there);
    }
    stream->window()->close();
    if (at == Await::livePicture) clock.advance(0.05);  // the wait for the picture looks again
    ASSERT_TRUE(waitForLine("engine: reshape: done in "));
    EXPECT_FALSE(stream->restarting());
    const std::string log = test::appLog();
    const auto done = log.find(" engine: reshape: done in ");
    EXPECT_EQ(log.substr(log.find('\n', done) - 13, 13), " (no picture)");
    const auto after = log.find(" engine: reshape: giving up on 480x480; back to 640x360\n");
    ASSERT_NE(after, std::string::npos);

    // The streaming host was asked for the new size exactly when the log says so.
    EXPECT_EQ(test::logCount("engine: reshape: listed on the box at "), row.asked ? 1u : 0u);
    EXPECT_EQ(log.find(" ms; asking Corvane Host for 480x480\n") != std::string::npos, row.asked);
    const auto resize = [](const std::vector<boxsim::ControlServer::Message>& record) {
        return std::ranges::any_of(record, [](const auto& m) { return m.type == 0x5503 && m.payload == Bytes{0xE0, 0x01, 0xE0, 0x01}; });
    };
    EXPECT_EQ(row.asked ? control->waitFor(resize, 10) : resize(control->messages()), row.asked);

    // The box's last display mode is the stream's own, asked again only where the reshape had changed it.
    std::vector<nlohmann::json> modes;
    for (const auto& body : displayRequests())
        if (body.contains("width")) modes.push_back(body);
    ASSERT_EQ(modes.size(), row.modes);
    EXPECT_EQ(modes.back(), nlohmann::json::parse(R"({"width":640,"height":360})"));
    EXPECT_EQ(log.find(" engine: box display mode 640x360: 200 ", after) != std::string::npos, at != Await::readyShapes);
    // Every request that went out has its answer in the log, even one answered after the window closed.
    EXPECT_EQ(test::logCount("engine: box display mode "), modes.size());
    EXPECT_EQ(test::logCount("engine: box ready shapes (12): "), displayRequests().size() - modes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Awaits, ReshapeCloseTest,
    ::testing::Values(CloseRow{"ReadyShapes", Await::readyShapes, false, 1},
                      CloseRow{"DisplayMode", Await::displayMode, false, 3},
                      CloseRow{"LivePicture", Await::livePicture, true, 3},
                      CloseRow{"StreamStop", Await::streamStop, true, 3},
                      CloseRow{"RestartDisplayMode", Await::restartDisplayMode, true, 4},
                      CloseRow{"RestartLaunch", Await::restartLaunch, true, 4},
                      CloseRow{"FallbackDisplayMode", Await::fallbackDisplayMode, true, 5}),
    [](const ::testing::TestParamInfo<CloseRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvane
