#pragma once

#include "app/services/KeyShortcut.hpp"
#include "app/services/RawValues.hpp"
#include "app/services/StatsOverlayTypes.hpp"

#include <functional>
#include <optional>
#include <string>

namespace corvane::platform {
class UserDefaults;
}

namespace corvane {

// Every user choice about the stream and the app around it, one plain value kept as one dictionary under
// "Corvane.StreamSettings" in the user defaults. Loading never fails: each unreadable field falls back to
// its default on its own. Read and written on the main thread.
struct StreamSettings {
    enum class DisplayMode { window, fullscreen };
    enum class Size { hd, qhd, matchScreen, matchScreenSharp };
    enum class MouseMode { desktop, games, automatic };
    enum class Appearance { system, light, dark };
    enum class Quality { smooth, balanced, sharp, custom };
    enum class Codec { automatic, h264, hevc, av1 };
    enum class AudioChannels { stereo, surround51, surround71 };
    enum class OverlayMode { off, compact, detailed };

    struct Pixels {
        int width = 0;
        int height = 0;
        bool operator==(const Pixels&) const = default;
    };

    // The main screen, as the windowing layer reports it: its frame in points, its scale (device pixels per
    // point) and its highest refresh rate.
    struct MainScreen {
        double width = 0;
        double height = 0;
        double scale = 1;
        double maximumFramesPerSecond = 60;
    };
    using ScreenSource = std::function<std::optional<MainScreen>()>;

    static constexpr const char* defaultsKey = "Corvane.StreamSettings";
    static constexpr const char* menuBarKey = "Corvane.ShowMenuBar";
    // A stored bitrate is held to this before any arithmetic (the pickers offer far less).
    static constexpr int maximumBitrateMbps = 1000;

    bool commandAsControl = false;
    bool matchWindowShape = false;
    bool sendMacShortcuts = false;
    Appearance appearance = Appearance::system;
    bool wakeBox = true;
    bool multiController = true;
    bool backgroundGamepad = false;
    bool swapGamepadButtons = false;
    bool dropToWindows = true;
    bool shareClipboard = true;
    std::string receiveFolder;  // empty: the Downloads folder
    KeyShortcut releaseMouseKey = KeyShortcut::defaultReleaseMouse();
    KeyShortcut endSessionKey = KeyShortcut::defaultEndSession();
    DisplayMode displayMode = DisplayMode::window;
    Quality quality = Quality::balanced;
    int bitrateMbps = 0;  // 0: automatic
    Codec codec = Codec::automatic;
    bool hdr = false;
    bool yuv444 = false;
    bool vsync = true;
    bool framePacing = false;
    AudioChannels audio = AudioChannels::stereo;
    Size size = Size::hd;
    int fps = 60;  // 30, 60 or 120
    MouseMode mouse = MouseMode::desktop;
    bool autoConnect = true;
    bool showStats = false;
    StatsOverlayPosition statsPosition = StatsOverlayPosition::topRight;
    bool detailedStats = false;

    bool operator==(const StreamSettings&) const = default;

    static StreamSettings load(const platform::UserDefaults& defaults);
    void save(platform::UserDefaults& defaults) const;

    void applyQuality(Quality preset);

    OverlayMode overlayMode() const;
    void setOverlayMode(OverlayMode mode);

    // Width x height x fps x 0.0004, x 1.33 with 4:4:4, x 1.25 with HDR, within 20000...250000 kbit/s.
    int automaticBitrateKbps() const;
    // The chosen bitrate in kbit/s: bitrateMbps x 1000 when set, else the automatic one.
    int bitrateKbps() const;
    Pixels streamSize() const;
    StatsOverlayStreamInfo statsInfo() const;

    // The main screen's size in pixels (points x scale when `retina`), each side cut to an even number;
    // 1920 x 1080 without a screen.
    static Pixels screenSize(bool retina);
    static std::string label(Size size);
    static bool menuBarEnabled(const platform::UserDefaults& defaults);

    // "StreamSettings(commandAsControl: false, ...)" with every field in declaration order.
    std::string description() const;

    // Where screen facts come from; the app installs one at start. Without one there is no main screen.
    static void setScreenSource(ScreenSource source);
    static std::optional<MainScreen> mainScreen();
};

template <>
struct RawValueTable<StreamSettings::DisplayMode> {
    static constexpr std::array<std::pair<StreamSettings::DisplayMode, std::string_view>, 2> entries{{
        {StreamSettings::DisplayMode::window, "window"},
        {StreamSettings::DisplayMode::fullscreen, "fullscreen"},
    }};
};

template <>
struct RawValueTable<StreamSettings::Size> {
    static constexpr std::array<std::pair<StreamSettings::Size, std::string_view>, 4> entries{{
        {StreamSettings::Size::hd, "1920x1080"},
        {StreamSettings::Size::qhd, "2560x1440"},
        {StreamSettings::Size::matchScreen, "match-screen"},
        {StreamSettings::Size::matchScreenSharp, "match-screen-retina"},
    }};
};

template <>
struct RawValueTable<StreamSettings::MouseMode> {
    static constexpr std::array<std::pair<StreamSettings::MouseMode, std::string_view>, 3> entries{{
        {StreamSettings::MouseMode::desktop, "desktop"},
        {StreamSettings::MouseMode::games, "games"},
        {StreamSettings::MouseMode::automatic, "auto"},
    }};
};

template <>
struct RawValueTable<StreamSettings::Appearance> {
    static constexpr std::array<std::pair<StreamSettings::Appearance, std::string_view>, 3> entries{{
        {StreamSettings::Appearance::system, "system"},
        {StreamSettings::Appearance::light, "light"},
        {StreamSettings::Appearance::dark, "dark"},
    }};
};

template <>
struct RawValueTable<StreamSettings::Quality> {
    static constexpr std::array<std::pair<StreamSettings::Quality, std::string_view>, 4> entries{{
        {StreamSettings::Quality::smooth, "smooth"},
        {StreamSettings::Quality::balanced, "balanced"},
        {StreamSettings::Quality::sharp, "sharp"},
        {StreamSettings::Quality::custom, "custom"},
    }};
};

template <>
struct RawValueTable<StreamSettings::Codec> {
    static constexpr std::array<std::pair<StreamSettings::Codec, std::string_view>, 4> entries{{
        {StreamSettings::Codec::automatic, "auto"},
        {StreamSettings::Codec::h264, "H.264"},
        {StreamSettings::Codec::hevc, "HEVC"},
        {StreamSettings::Codec::av1, "AV1"},
    }};
};

template <>
struct RawValueTable<StreamSettings::AudioChannels> {
    static constexpr std::array<std::pair<StreamSettings::AudioChannels, std::string_view>, 3> entries{{
        {StreamSettings::AudioChannels::stereo, "stereo"},
        {StreamSettings::AudioChannels::surround51, "5.1-surround"},
        {StreamSettings::AudioChannels::surround71, "7.1-surround"},
    }};
};

template <>
struct RawValueTable<StreamSettings::OverlayMode> {
    static constexpr std::array<std::pair<StreamSettings::OverlayMode, std::string_view>, 3> entries{{
        {StreamSettings::OverlayMode::off, "off"},
        {StreamSettings::OverlayMode::compact, "compact"},
        {StreamSettings::OverlayMode::detailed, "detailed"},
    }};
};

} // namespace corvane
