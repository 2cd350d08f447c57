#include "app/services/StreamSettings.hpp"

#include "platform/defaults/UserDefaults.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace corvane {
namespace {

using platform::DefaultsValue;
using Dictionary = DefaultsValue::Dictionary;
using S = StreamSettings;

class StreamSettingsTest : public ::testing::Test {
protected:
    void TearDown() override { S::setScreenSource({}); }
    void store(Dictionary values) { defaults.set(S::defaultsKey, {std::move(values)}); }
    static void screen(double width, double height, double scale, double fps) {
        S::setScreenSource([=] { return S::MainScreen{width, height, scale, fps}; });
    }

    test::TempDir dir;
    platform::UserDefaults defaults{dir.path() / "defaults.json"};
};

TEST_F(StreamSettingsTest, LoadFallsBackFieldByField) {
    EXPECT_EQ(S::load(defaults), S{});
    EXPECT_EQ(S{}.releaseMouseKey.display(), "Control + Option + Shift + Z");
    EXPECT_EQ(S{}.endSessionKey.display(), "Control + Option + Shift + Q");
    defaults.set(S::defaultsKey, {std::string("garbage")});
    EXPECT_EQ(S::load(defaults), S{});

    store({
        {"fps", {std::int64_t{144}}},
        {"codec", {std::string("h264")}},  // not the raw value "H.264"
        {"hdr", {std::string("true")}},
        {"audio", {std::string("7.1-surround")}},
        {"displayMode", {std::string("Fullscreen")}},
        {"statsPosition", {std::string("bottom")}},
        {"releaseMouseKey", {std::string(R"({"keyCode":1,"modifiers":262144,"key":"S"})")}},  // not data
        {"endSessionKey", {Bytes{'{', '}'}}},
        {"receiveFolder", {std::string("/home/me/In")}},
        {"mouse", {std::string("auto")}},
    });
    const S s = S::load(defaults);
    EXPECT_EQ(s.fps, 60);
    EXPECT_EQ(s.codec, S::Codec::automatic);
    EXPECT_FALSE(s.hdr);
    EXPECT_EQ(s.audio, S::AudioChannels::surround71);
    EXPECT_EQ(s.displayMode, S::DisplayMode::window);
    EXPECT_EQ(s.statsPosition, StatsOverlayPosition::topRight);
    EXPECT_EQ(s.releaseMouseKey, KeyShortcut::defaultReleaseMouse());
    EXPECT_EQ(s.endSessionKey, KeyShortcut::defaultEndSession());
    EXPECT_EQ(s.receiveFolder, "/home/me/In");
    EXPECT_EQ(s.mouse, S::MouseMode::automatic);

    // Quality: inferred when missing, custom when unknown.
    store({{"fps", {std::int64_t{60}}}, {"size", {std::string("2560x1440")}}});
    EXPECT_EQ(S::load(defaults).quality, S::Quality::custom);
    store({{"fps", {std::int64_t{60}}}, {"size", {std::string("1920x1080")}}});
    EXPECT_EQ(S::load(defaults).quality, S::Quality::balanced);
    store({{"fps", {std::int64_t{120}}}, {"quality", {std::string("unknown")}}});
    EXPECT_EQ(S::load(defaults).quality, S::Quality::custom);

    // A detailed overlay from before the overlay switch stays shown; after it, off means off.
    store({{"detailedStats", {true}}, {"showStats", {false}}});
    EXPECT_EQ(S::load(defaults).overlayMode(), S::OverlayMode::detailed);
    store({{"detailedStats", {true}}, {"showStats", {false}}, {"overlayV2", {true}}});
    EXPECT_EQ(S::load(defaults).overlayMode(), S::OverlayMode::off);
}

TEST_F(StreamSettingsTest, SaveWritesEveryKeyAndLoadsBackEqual) {
    S s;
    s.commandAsControl = true;
    s.appearance = S::Appearance::dark;
    s.wakeBox = false;
    s.receiveFolder = "/tmp/in";
    s.releaseMouseKey = {96, 0xC0000, "F5"};
    s.displayMode = S::DisplayMode::fullscreen;
    s.quality = S::Quality::custom;
    s.bitrateMbps = 150;
    s.codec = S::Codec::hevc;
    s.audio = S::AudioChannels::surround51;
    s.size = S::Size::matchScreenSharp;
    s.fps = 120;
    s.mouse = S::MouseMode::games;
    s.statsPosition = StatsOverlayPosition::topCenter;
    s.showStats = true;
    s.save(defaults);

    platform::UserDefaults reopened(dir.path() / "defaults.json");
    EXPECT_EQ(S::load(reopened), s) << S::load(reopened).description() << "\n" << s.description();
    const auto stored = reopened.object(S::defaultsKey);
    ASSERT_TRUE(stored);
    const Dictionary& d = *stored->get<Dictionary>();
    EXPECT_EQ(d.size(), 30u);
    EXPECT_EQ(d.at("codec"), DefaultsValue{std::string("HEVC")});
    EXPECT_EQ(d.at("size"), DefaultsValue{std::string("match-screen-retina")});
    const Bytes* json = d.at("releaseMouseKey").get<Bytes>();
    ASSERT_TRUE(json);
    EXPECT_EQ(KeyShortcut::fromJson(std::string(json->begin(), json->end())), s.releaseMouseKey);
}

TEST_F(StreamSettingsTest, BitratesAreHeldInRange) {
    store({{"bitrateMbps", {std::numeric_limits<std::int64_t>::max()}}});
    S s = S::load(defaults);
    EXPECT_EQ(s.bitrateMbps, S::maximumBitrateMbps);
    EXPECT_EQ(s.statsInfo().bitrateMbps, S::maximumBitrateMbps);
    store({{"bitrateMbps", {std::int64_t{-5}}}});
    s = S::load(defaults);
    EXPECT_EQ(s.bitrateMbps, 0);
    EXPECT_EQ(s.bitrateKbps(), s.automaticBitrateKbps());
    s.bitrateMbps = std::numeric_limits<int>::max();
    EXPECT_EQ(s.bitrateKbps(), S::maximumBitrateMbps * 1000);

    s = S{};
    EXPECT_EQ(s.automaticBitrateKbps(), 49766);
    s.yuv444 = s.hdr = true;
    EXPECT_EQ(s.automaticBitrateKbps(), 82736);
    screen(100, 100, 1, 60);
    s.size = S::Size::matchScreen;
    EXPECT_EQ(s.automaticBitrateKbps(), 20000);
    screen(60000, 40000, 2, 240);
    s.size = S::Size::matchScreenSharp;
    s.fps = std::numeric_limits<int>::max();
    EXPECT_EQ(s.automaticBitrateKbps(), 250000);
}

TEST_F(StreamSettingsTest, ScreenSizesOverlayAndMenuBar) {
    EXPECT_EQ(S::screenSize(true), (S::Pixels{1920, 1080}));  // no screen
    screen(1511.7, 983, 1.5, 60);
    EXPECT_EQ(S::screenSize(false), (S::Pixels{1510, 982}));
    EXPECT_EQ(S::label(S::Size::matchScreenSharp), "Match this Mac, Retina (2266 x 1474)");

    S s;
    s.fps = 120;
    s.hdr = true;
    screen(1920, 1080, 1, 50);  // a screen below 60 Hz still counts as 60
    EXPECT_EQ(s.statsInfo(), (StatsOverlayStreamInfo{1920, 1080, "auto codec", 124, 60, true}));
    s.applyQuality(S::Quality::smooth);
    EXPECT_EQ(s.fps, 60);

    // Turning the overlay off keeps the detail choice for the next time it is on.
    s.setOverlayMode(S::OverlayMode::detailed);
    s.setOverlayMode(S::OverlayMode::off);
    EXPECT_TRUE(s.detailedStats);
    EXPECT_EQ(s.overlayMode(), S::OverlayMode::off);

    EXPECT_TRUE(S::menuBarEnabled(defaults));
    defaults.set(S::menuBarKey, {false});
    EXPECT_FALSE(S::menuBarEnabled(defaults));
    defaults.set(S::menuBarKey, {std::int64_t{0}});
    EXPECT_TRUE(S::menuBarEnabled(defaults));
}

} // namespace
} // namespace corvane
