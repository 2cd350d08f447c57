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

// The defaults, as every save writes them (the shortcuts are Ctrl + Alt + Shift + Z and + Q).
constexpr const char* kStoredDefaults = R"({
  "Corvane.StreamSettings": {
    "appearance": "system",
    "audio": "stereo",
    "autoConnect": true,
    "backgroundGamepad": false,
    "bitrateMbps": 0,
    "codec": "auto",
    "commandAsControl": false,
    "detailedStats": false,
    "displayMode": "window",
    "dropToWindows": true,
    "endSessionKey": {
      "$bytes": "eyJrZXkiOiJRIiwia2V5Q29kZSI6MTIsIm1vZGlmaWVycyI6OTE3NTA0fQ=="
    },
    "fps": 60,
    "framePacing": false,
    "hdr": false,
    "matchWindowShape": false,
    "mouse": "desktop",
    "multiController": true,
    "overlayV2": true,
    "quality": "balanced",
    "receiveFolder": "",
    "releaseMouseKey": {
      "$bytes": "eyJrZXkiOiJaIiwia2V5Q29kZSI6NiwibW9kaWZpZXJzIjo5MTc1MDR9"
    },
    "sendMacShortcuts": false,
    "shareClipboard": true,
    "showStats": false,
    "size": "1920x1080",
    "statsPosition": "topRight",
    "swapGamepadButtons": false,
    "vsync": true,
    "wakeBox": true,
    "yuv444": false
  }
}
)";

class StreamSettingsTest : public ::testing::Test {
protected:
    void TearDown() override { S::setScreenSource({}); }
    void store(Dictionary values) { defaults.set(S::defaultsKey, {std::move(values)}); }
    static void screen(double width, double height, double scale, double fps) {
        S::setScreenSource([=] { return S::MainScreen{width, height, scale, fps}; });
    }
    std::string storedText() { return test::readWhole(file); }
    test::TempDir dir;
    std::filesystem::path file = dir.path() / "defaults.json";
    platform::UserDefaults defaults{file};
};

TEST_F(StreamSettingsTest, DefaultsAreStoredAsTheseBytes) {
    S::load(defaults).save(defaults);
    EXPECT_EQ(storedText(), kStoredDefaults);
    defaults.set(S::defaultsKey, {std::string("garbage")});
    S::load(defaults).save(defaults);
    EXPECT_EQ(storedText(), kStoredDefaults);
}

TEST_F(StreamSettingsTest, LoadFallsBackFieldByField) {
    const std::string custom = R"({"key":"S","keyCode":1,"modifiers":262144})";
    store({
        {"fps", {std::int64_t{144}}},
        {"codec", {std::string("h264")}},  // not the raw value "H.264"
        {"hdr", {std::string("true")}},
        {"audio", {std::string("7.1-surround")}},
        {"displayMode", {std::string("Fullscreen")}},
        {"statsPosition", {std::string("bottom")}},
        {"releaseMouseKey", {custom}},  // a string, not data
        {"endSessionKey", {Bytes(custom.begin(), custom.end())}},
        {"receiveFolder", {std::string("/home/me/In")}},
        {"mouse", {std::string("auto")}},
    });
    S expected;
    expected.audio = S::AudioChannels::surround71, expected.endSessionKey = {1, 0x40000, "S"};
    expected.receiveFolder = "/home/me/In", expected.mouse = S::MouseMode::automatic;
    EXPECT_EQ(S::load(defaults), expected) << S::load(defaults).description();

    // Quality: inferred when missing, custom when unknown.
    const struct { Dictionary stored; S::Quality quality; } qualities[] = {
        {{{"fps", {std::int64_t{60}}}, {"size", {std::string("2560x1440")}}}, S::Quality::custom},
        {{{"fps", {std::int64_t{60}}}, {"size", {std::string("1920x1080")}}}, S::Quality::balanced},
        {{{"fps", {std::int64_t{120}}}, {"quality", {std::string("unknown")}}}, S::Quality::custom},
        {{{"fps", {std::string("120")}}}, S::Quality::balanced},
    };
    for (const auto& row : qualities) {
        store(row.stored);
        EXPECT_EQ(S::load(defaults).quality, row.quality);
    }
    // A detailed overlay from before the overlay switch stays shown; after it, off means off.
    store({{"detailedStats", {true}}, {"showStats", {false}}});
    EXPECT_EQ(S::load(defaults).overlayMode(), S::OverlayMode::detailed);
    store({{"detailedStats", {true}}, {"showStats", {false}}, {"overlayV2", {true}}});
    EXPECT_EQ(S::load(defaults).overlayMode(), S::OverlayMode::off);
}

TEST_F(StreamSettingsTest, EveryFieldRoundTrips) {
    S s;
    s.commandAsControl = s.matchWindowShape = s.sendMacShortcuts = s.backgroundGamepad = s.swapGamepadButtons = true;
    s.wakeBox = s.multiController = s.dropToWindows = s.shareClipboard = s.vsync = s.autoConnect = false;
    s.hdr = s.yuv444 = s.framePacing = s.showStats = s.detailedStats = true;
    s.appearance = S::Appearance::dark, s.receiveFolder = "/tmp/in", s.displayMode = S::DisplayMode::fullscreen;
    s.releaseMouseKey = {96, 0xC0000, "F5"}, s.endSessionKey = {0, 0x100000, "A"};
    s.quality = S::Quality::custom, s.bitrateMbps = 150, s.codec = S::Codec::hevc, s.fps = 120;
    s.audio = S::AudioChannels::surround51, s.size = S::Size::matchScreenSharp, s.mouse = S::MouseMode::games;
    s.statsPosition = StatsOverlayPosition::topCenter;
    s.save(defaults);
    EXPECT_EQ(S::load(platform::UserDefaults(file)), s);
    const auto stored = platform::UserDefaults(file).object(S::defaultsKey).value_or(DefaultsValue{});
    const Dictionary* d = stored.get<Dictionary>();
    ASSERT_TRUE(d);
    EXPECT_EQ(std::tuple(d->at("codec"), d->at("size"), d->at("audio")),
              std::tuple(DefaultsValue{std::string("HEVC")}, DefaultsValue{std::string("match-screen-retina")},
                         DefaultsValue{std::string("5.1-surround")}));
}

TEST_F(StreamSettingsTest, PresetsSetTheirFiveFieldsOnly) {
    const struct { S::Quality preset; double screenFps; S::Size size; int fps; bool yuv444, framePacing; } rows[] = {
        {S::Quality::smooth, 120, S::Size::hd, 120, false, true},
        {S::Quality::smooth, 119, S::Size::hd, 60, false, true},
        {S::Quality::balanced, 120, S::Size::hd, 60, false, false},
        {S::Quality::sharp, 120, S::Size::matchScreenSharp, 60, true, false},
    };
    S before;
    before.size = S::Size::qhd, before.fps = 30, before.yuv444 = !before.yuv444, before.bitrateMbps = 80;
    before.codec = S::Codec::av1, before.hdr = before.vsync = true, before.audio = S::AudioChannels::surround71;
    before.displayMode = S::DisplayMode::fullscreen, before.mouse = S::MouseMode::games;
    for (const auto& row : rows) {
        screen(1920, 1080, 1, row.screenFps);
        S expected = before;
        expected.quality = row.preset, expected.size = row.size, expected.fps = row.fps, expected.bitrateMbps = 0;
        expected.yuv444 = row.yuv444, expected.framePacing = row.framePacing;
        S s = before;
        s.applyQuality(row.preset);
        EXPECT_EQ(s, expected) << s.description();
    }
    S s = before;
    s.applyQuality(S::Quality::custom);
    before.quality = S::Quality::custom;
    EXPECT_EQ(s, before);
    S::setScreenSource({});
    s.applyQuality(S::Quality::smooth);
    EXPECT_EQ(s.fps, 60);  // no screen
}

TEST_F(StreamSettingsTest, BitratesSizesAndOverlay) {
    store({{"bitrateMbps", {std::numeric_limits<std::int64_t>::max()}}});
    EXPECT_EQ(S::load(defaults).statsInfo().bitrateMbps, S::maximumBitrateMbps);
    store({{"bitrateMbps", {std::int64_t{-5}}}});
    EXPECT_EQ(S::load(defaults).bitrateMbps, 0);
    S s;
    EXPECT_EQ(s.automaticBitrateKbps(), 49766);
    s.yuv444 = true;
    EXPECT_EQ(s.automaticBitrateKbps(), 66189);
    s.hdr = true;
    EXPECT_EQ(s.automaticBitrateKbps(), 82736);
    screen(100, 100, 1, 60);
    s.size = S::Size::matchScreen;
    EXPECT_EQ(s.automaticBitrateKbps(), 20000);
    screen(60000, 40000, 2, 240);
    s.size = S::Size::matchScreenSharp;
    s.fps = std::numeric_limits<int>::max();
    EXPECT_EQ(s.automaticBitrateKbps(), 250000);
    S::setScreenSource({});
    EXPECT_EQ(S::screenSize(true), (S::Pixels{1920, 1080}));  // no screen
    screen(1511.7, 983, 1.5, 60);
    EXPECT_EQ(S::screenSize(false), (S::Pixels{1510, 982}));
    const std::pair<S::Size, const char*> labels[] = {
        {S::Size::hd, "1920 x 1080"}, {S::Size::qhd, "2560 x 1440"}, {S::Size::matchScreen, "Match this computer (1510 x 982)"},
        {S::Size::matchScreenSharp, "Match this computer, full resolution (2266 x 1474)"}};
    for (const auto& [size, label] : labels) EXPECT_EQ(S::label(size), label);
    s = S{};
    s.fps = 120, s.hdr = true;
    screen(1920, 1080, 1, 50);  // a screen below 60 Hz still counts as 60
    EXPECT_EQ(s.statsInfo(), (StatsOverlayStreamInfo{1920, 1080, "auto codec", 124, 60, true}));
    // The overlay's and the menu bar's switches are read back through the settings tabs; a stored value of
    // another type is the default.
    EXPECT_TRUE(S::menuBarEnabled(defaults));
    defaults.set(S::menuBarKey, {std::int64_t{0}});
    EXPECT_TRUE(S::menuBarEnabled(defaults));
}

} // namespace
} // namespace corvane
