#include "app/services/StreamSettings.hpp"

#include "platform/defaults/UserDefaults.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>

namespace corvane {
namespace {

using platform::DefaultsValue;
using Dictionary = DefaultsValue::Dictionary;

constexpr int kMinimumAutomaticKbps = 20000;
constexpr int kMaximumAutomaticKbps = 250000;

std::mutex screenMutex;
StreamSettings::ScreenSource screenSource;

const DefaultsValue* entry(const Dictionary& stored, const char* key) {
    const auto found = stored.find(key);
    return found == stored.end() ? nullptr : &found->second;
}

bool readBool(const Dictionary& stored, const char* key, bool fallback) {
    const DefaultsValue* value = entry(stored, key);
    const bool* flag = value ? value->get<bool>() : nullptr;
    return flag ? *flag : fallback;
}

std::optional<std::int64_t> readInteger(const Dictionary& stored, const char* key) {
    const DefaultsValue* value = entry(stored, key);
    const std::int64_t* number = value ? value->get<std::int64_t>() : nullptr;
    return number ? std::optional(*number) : std::nullopt;
}

std::string readString(const Dictionary& stored, const char* key, std::string fallback) {
    const DefaultsValue* value = entry(stored, key);
    const std::string* text = value ? value->get<std::string>() : nullptr;
    return text ? *text : fallback;
}

template <class E>
std::optional<E> readEnum(const Dictionary& stored, const char* key) {
    const DefaultsValue* value = entry(stored, key);
    const std::string* text = value ? value->get<std::string>() : nullptr;
    return text ? fromRawValue<E>(*text) : std::nullopt;
}

KeyShortcut readShortcut(const Dictionary& stored, const char* key, KeyShortcut fallback) {
    const DefaultsValue* value = entry(stored, key);
    const Bytes* bytes = value ? value->get<Bytes>() : nullptr;
    if (!bytes) return fallback;
    const auto decoded =
        KeyShortcut::fromJson(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    return decoded.value_or(fallback);
}

DefaultsValue shortcutData(const KeyShortcut& shortcut) {
    const std::string json = shortcut.toJson();
    return {Bytes(json.begin(), json.end())};
}

template <class E>
DefaultsValue raw(E value) {
    return {std::string(rawValue(value))};
}

// A side of the screen in pixels: whole, even and within what a display can have.
int evenPixels(double value) {
    if (!std::isfinite(value) || value <= 0) return 0;
    const auto whole = static_cast<int>(std::min(value, 65536.0));
    return whole - whole % 2;
}

} // namespace

void StreamSettings::setScreenSource(ScreenSource source) {
    std::lock_guard guard(screenMutex);
    screenSource = std::move(source);
}

std::optional<StreamSettings::MainScreen> StreamSettings::mainScreen() {
    ScreenSource source;
    {
        std::lock_guard guard(screenMutex);
        source = screenSource;
    }
    return source ? source() : std::nullopt;
}

StreamSettings StreamSettings::load(const platform::UserDefaults& defaults) {
    StreamSettings s;
    const auto storedValue = defaults.object(defaultsKey);
    const Dictionary* storedDictionary = storedValue ? storedValue->get<Dictionary>() : nullptr;
    if (!storedDictionary) return s;
    const Dictionary& d = *storedDictionary;

    s.commandAsControl = readBool(d, "commandAsControl", s.commandAsControl);
    s.matchWindowShape = readBool(d, "matchWindowShape", s.matchWindowShape);
    s.sendMacShortcuts = readBool(d, "sendMacShortcuts", s.sendMacShortcuts);
    s.appearance = readEnum<Appearance>(d, "appearance").value_or(s.appearance);
    s.wakeBox = readBool(d, "wakeBox", s.wakeBox);
    s.multiController = readBool(d, "multiController", s.multiController);
    s.backgroundGamepad = readBool(d, "backgroundGamepad", s.backgroundGamepad);
    s.swapGamepadButtons = readBool(d, "swapGamepadButtons", s.swapGamepadButtons);
    s.dropToWindows = readBool(d, "dropToWindows", s.dropToWindows);
    s.shareClipboard = readBool(d, "shareClipboard", s.shareClipboard);
    s.receiveFolder = readString(d, "receiveFolder", s.receiveFolder);
    s.releaseMouseKey = readShortcut(d, "releaseMouseKey", s.releaseMouseKey);
    s.endSessionKey = readShortcut(d, "endSessionKey", s.endSessionKey);
    s.displayMode = readString(d, "displayMode", "") == "fullscreen" ? DisplayMode::fullscreen : DisplayMode::window;
    // A stored bitrate is held within 0...maximum here, so nothing later multiplies an absurd value.
    s.bitrateMbps = static_cast<int>(std::clamp<std::int64_t>(readInteger(d, "bitrateMbps").value_or(0), 0,
                                                              maximumBitrateMbps));
    s.codec = readEnum<Codec>(d, "codec").value_or(s.codec);
    s.hdr = readBool(d, "hdr", s.hdr);
    s.yuv444 = readBool(d, "yuv444", s.yuv444);
    s.vsync = readBool(d, "vsync", s.vsync);
    s.framePacing = readBool(d, "framePacing", s.framePacing);
    s.audio = readEnum<AudioChannels>(d, "audio").value_or(s.audio);
    s.size = readEnum<Size>(d, "size").value_or(s.size);
    const auto fps = readInteger(d, "fps");
    s.fps = fps && (*fps == 30 || *fps == 60 || *fps == 120) ? static_cast<int>(*fps) : 60;
    s.mouse = readEnum<MouseMode>(d, "mouse").value_or(s.mouse);
    s.autoConnect = readBool(d, "autoConnect", s.autoConnect);
    s.showStats = readBool(d, "showStats", s.showStats);
    s.statsPosition = readEnum<StatsOverlayPosition>(d, "statsPosition").value_or(s.statsPosition);
    if (readBool(d, "detailedStats", false)) {
        s.detailedStats = true;
        // Before "overlayV2", "detailed" alone meant the overlay was on.
        if (!d.contains("overlayV2")) s.showStats = true;
    }
    const auto quality = readEnum<Quality>(d, "quality");
    s.quality = quality ? *quality : (s.fps != 60 || s.size != Size::hd ? Quality::custom : Quality::balanced);
    return s;
}

void StreamSettings::save(platform::UserDefaults& defaults) const {
    Dictionary d;
    d["commandAsControl"] = {commandAsControl};
    d["matchWindowShape"] = {matchWindowShape};
    d["sendMacShortcuts"] = {sendMacShortcuts};
    d["appearance"] = raw(appearance);
    d["wakeBox"] = {wakeBox};
    d["multiController"] = {multiController};
    d["backgroundGamepad"] = {backgroundGamepad};
    d["swapGamepadButtons"] = {swapGamepadButtons};
    d["dropToWindows"] = {dropToWindows};
    d["shareClipboard"] = {shareClipboard};
    d["receiveFolder"] = {receiveFolder};
    d["releaseMouseKey"] = shortcutData(releaseMouseKey);
    d["endSessionKey"] = shortcutData(endSessionKey);
    d["displayMode"] = raw(displayMode);
    d["quality"] = raw(quality);
    d["bitrateMbps"] = {static_cast<std::int64_t>(bitrateMbps)};
    d["codec"] = raw(codec);
    d["hdr"] = {hdr};
    d["yuv444"] = {yuv444};
    d["vsync"] = {vsync};
    d["framePacing"] = {framePacing};
    d["audio"] = raw(audio);
    d["size"] = raw(size);
    d["fps"] = {static_cast<std::int64_t>(fps)};
    d["mouse"] = raw(mouse);
    d["autoConnect"] = {autoConnect};
    d["showStats"] = {showStats};
    d["statsPosition"] = raw(statsPosition);
    d["detailedStats"] = {detailedStats};
    d["overlayV2"] = {true};
    defaults.set(defaultsKey, {std::move(d)});
}

void StreamSettings::applyQuality(Quality preset) {
    quality = preset;
    switch (preset) {
    case Quality::smooth: {
        const auto screen = mainScreen();
        size = Size::hd;
        fps = screen && screen->maximumFramesPerSecond > 119 ? 120 : 60;
        yuv444 = false;
        framePacing = true;
        bitrateMbps = 0;
        break;
    }
    case Quality::balanced:
        size = Size::hd;
        fps = 60;
        yuv444 = false;
        framePacing = false;
        bitrateMbps = 0;
        break;
    case Quality::sharp:
        size = Size::matchScreenSharp;
        fps = 60;
        yuv444 = true;
        framePacing = false;
        bitrateMbps = 0;
        break;
    case Quality::custom: break;
    }
}

StreamSettings::OverlayMode StreamSettings::overlayMode() const {
    if (!showStats) return OverlayMode::off;
    return detailedStats ? OverlayMode::detailed : OverlayMode::compact;
}

void StreamSettings::setOverlayMode(OverlayMode mode) {
    showStats = mode != OverlayMode::off;
    if (mode != OverlayMode::off) detailedStats = mode == OverlayMode::detailed;
}

StreamSettings::Pixels StreamSettings::streamSize() const {
    switch (size) {
    case Size::hd: return {1920, 1080};
    case Size::qhd: return {2560, 1440};
    case Size::matchScreen: return screenSize(false);
    case Size::matchScreenSharp: return screenSize(true);
    }
    return {1920, 1080};
}

int StreamSettings::automaticBitrateKbps() const {
    const Pixels pixels = streamSize();
    // fps is only ever 30, 60 or 120 once loaded, but a value set in code is held to a sane range too.
    const std::int64_t frames = std::clamp(fps, 0, 1000);
    double kbps = static_cast<double>(static_cast<std::int64_t>(pixels.width) * pixels.height * frames) * 0.0004;
    if (yuv444) kbps *= 1.33;
    if (hdr) kbps *= 1.25;
    kbps = std::clamp(std::trunc(kbps), static_cast<double>(kMinimumAutomaticKbps),
                      static_cast<double>(kMaximumAutomaticKbps));
    return static_cast<int>(kbps);
}

int StreamSettings::bitrateKbps() const {
    if (bitrateMbps >= 1) return std::min(bitrateMbps, maximumBitrateMbps) * 1000;
    return automaticBitrateKbps();
}

StatsOverlayStreamInfo StreamSettings::statsInfo() const {
    const Pixels pixels = streamSize();
    const auto screen = mainScreen();
    const double screenRate = screen ? std::max(60.0, screen->maximumFramesPerSecond) : 60.0;
    StatsOverlayStreamInfo info;
    info.width = pixels.width;
    info.height = pixels.height;
    info.codec = codec == Codec::automatic ? "auto codec" : std::string(rawValue(codec));
    info.bitrateMbps = bitrateKbps() / 1000;
    info.targetFPS = static_cast<int>(std::min<double>(fps, std::isfinite(screenRate) ? screenRate : 60.0));
    info.hdr = hdr;
    return info;
}

StreamSettings::Pixels StreamSettings::screenSize(bool retina) {
    const auto screen = mainScreen();
    if (!screen) return {1920, 1080};
    const double scale = retina ? screen->scale : 1.0;
    return {evenPixels(screen->width * scale), evenPixels(screen->height * scale)};
}

std::string StreamSettings::label(Size size) {
    switch (size) {
    case Size::hd: return "1920 x 1080";
    case Size::qhd: return "2560 x 1440";
    case Size::matchScreen: {
        const Pixels p = screenSize(false);
        return "Match this computer (" + std::to_string(p.width) + " x " + std::to_string(p.height) + ")";
    }
    case Size::matchScreenSharp: {
        const Pixels p = screenSize(true);
        return "Match this computer, full resolution (" + std::to_string(p.width) + " x " + std::to_string(p.height) + ")";
    }
    }
    return {};
}

bool StreamSettings::menuBarEnabled(const platform::UserDefaults& defaults) {
    const auto value = defaults.object(menuBarKey);
    const bool* flag = value ? value->get<bool>() : nullptr;
    return flag ? *flag : true;
}

std::string StreamSettings::description() const {
    const auto b = [](bool v) { return std::string(v ? "true" : "false"); };
    const auto k = [](const KeyShortcut& s) {
        return "KeyShortcut(keyCode: " + std::to_string(s.keyCode) + ", modifiers: " + std::to_string(s.modifiers) +
               ", key: \"" + s.key + "\")";
    };
    const auto r = [](auto value) { return std::string(rawValue(value)); };
    return "StreamSettings(commandAsControl: " + b(commandAsControl) + ", matchWindowShape: " + b(matchWindowShape) +
           ", sendMacShortcuts: " + b(sendMacShortcuts) + ", appearance: " + r(appearance) +
           ", wakeBox: " + b(wakeBox) + ", multiController: " + b(multiController) +
           ", backgroundGamepad: " + b(backgroundGamepad) + ", swapGamepadButtons: " + b(swapGamepadButtons) +
           ", dropToWindows: " + b(dropToWindows) + ", shareClipboard: " + b(shareClipboard) +
           ", receiveFolder: \"" + receiveFolder + "\", releaseMouseKey: " + k(releaseMouseKey) +
           ", endSessionKey: " + k(endSessionKey) + ", displayMode: " + r(displayMode) + ", quality: " + r(quality) +
           ", bitrateMbps: " + std::to_string(bitrateMbps) + ", codec: " + r(codec) + ", hdr: " + b(hdr) +
           ", yuv444: " + b(yuv444) + ", vsync: " + b(vsync) + ", framePacing: " + b(framePacing) +
           ", audio: " + r(audio) + ", size: " + r(size) + ", fps: " + std::to_string(fps) + ", mouse: " + r(mouse) +
           ", autoConnect: " + b(autoConnect) + ", showStats: " + b(showStats) +
           ", statsPosition: " + r(statsPosition) + ", detailedStats: " + b(detailedStats) + ")";
}

} // namespace corvane
