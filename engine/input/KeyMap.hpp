#pragma once

#include "engine/input/InputPacket.hpp"

#include <cstdint>
#include <optional>

// Mac keyboard events (key codes and modifier-flag words, as platform::KeyEvents makes them) into what the
// box's Windows expects: Windows virtual keys and InputPacket::Modifiers. Pure lookups over constant tables;
// any thread, no allocation.
namespace corvane::stream::KeyMap {

inline constexpr std::uint16_t leftShift = 0xA0;
inline constexpr std::uint16_t rightShift = 0xA1;
inline constexpr std::uint16_t leftControl = 0xA2;
inline constexpr std::uint16_t rightControl = 0xA3;
inline constexpr std::uint16_t leftAlt = 0xA4;
inline constexpr std::uint16_t rightAlt = 0xA5;
inline constexpr std::uint16_t leftWin = 0x5B;
inline constexpr std::uint16_t rightWin = 0x5C;

// The Windows virtual key of a Mac key code; none for keys Windows has no counterpart for (Fn, 0x6E, ...).
// With commandAsControl the Command keys become the Control keys of the same side.
std::optional<std::uint16_t> windowsKey(std::uint16_t macCode, bool commandAsControl);

// Shift, Control, Option and Command of a Mac flag word (device-independent bits only); Command becomes
// `control` with commandAsControl, else `meta`.
InputPacket::Modifiers modifiers(std::uint64_t flags, bool commandAsControl);

// Whether the one modifier key that changed (by its Mac code) is now down, read from its own device-dependent
// bit, which tells apart two like keys; Caps Lock reads the lock bit. None for any other key.
std::optional<bool> isModifierDown(std::uint16_t macCode, std::uint64_t flags);

} // namespace corvane::stream::KeyMap
