#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// One key combination: a Mac virtual key code, the modifier flag word and the key's display name. Key
// codes and flags are the project's one key vocabulary (X11 key events are translated into it).
struct KeyShortcut {
    static constexpr std::uint64_t shift = 0x20000;
    static constexpr std::uint64_t control = 0x40000;
    static constexpr std::uint64_t option = 0x80000;
    static constexpr std::uint64_t command = 0x100000;
    static constexpr std::uint64_t modifierMask = 0x1E0000;  // the four above; Caps Lock and Fn are not part

    std::uint16_t keyCode = 0;
    std::uint64_t modifiers = 0;
    std::string key;

    bool operator==(const KeyShortcut&) const = default;

    // "Ctrl + Alt + Shift + Super + K" for the flags that are set, in that order (Super is the Command flag).
    std::string display() const;
    // A key event matches on its key code and its flags within the mask; other flags are ignored.
    bool matches(std::uint16_t eventKeyCode, std::uint64_t eventFlags) const;

    // {"keyCode": 6, "modifiers": 917504, "key": "Z"}. Reading needs all three keys with the right types
    // (a key code within 16 bits, modifiers a whole number from 0) and gives none otherwise.
    std::string toJson() const;
    static std::optional<KeyShortcut> fromJson(std::string_view json);

    static KeyShortcut defaultReleaseMouse();  // Control + Option + Shift + Z (key code 6)
    static KeyShortcut defaultEndSession();    // Control + Option + Shift + Q (key code 12)
};

} // namespace corvane
