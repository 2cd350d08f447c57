#pragma once

#include "engine/input/OptionSet.hpp"
#include "engine/input/PacketBuffer.hpp"
#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <optional>

// The packets that carry keyboard, mouse-button, pointer and wheel events to the streaming host; they travel
// as the body of control message 0x0206. Pure functions, callable from any thread.
//
// Every packet: u32 big-endian length (magic + payload), u32 little-endian magic, payload. Mouse and wheel
// payload fields are big-endian, the key payload is little-endian.
//
// Each builder comes twice: InputPacket::fixed::* builds into a PacketBuffer without allocating (the per-event
// path), InputPacket::* returns the same bytes as an owned Bytes buffer.
namespace corvane::stream::InputPacket {

enum class MouseButton : std::uint8_t { left = 1, middle = 2, right = 3, x1 = 4, x2 = 5 };

// The button with this raw value; none for anything outside 1...5.
std::optional<MouseButton> mouseButtonFromRaw(std::uint8_t rawValue);

struct Modifiers : OptionSet<Modifiers, std::uint8_t> {
    static const Modifiers shift;
    static const Modifiers control;
    static const Modifiers alt;
    static const Modifiers meta;
};
inline constexpr Modifiers Modifiers::shift = Modifiers::of(0x01);
inline constexpr Modifiers Modifiers::control = Modifiers::of(0x02);
inline constexpr Modifiers Modifiers::alt = Modifiers::of(0x04);
inline constexpr Modifiers Modifiers::meta = Modifiers::of(0x08);

namespace fixed {

// keyDown (magic 3) or keyUp (4), 14 bytes: 00 | vk | 0x8000 (u16 LE) | modifiers | 00 00.
PacketBuffer key(std::uint16_t windowsKey, bool down, Modifiers modifiers);
// mouseMove (magic 7), 12 bytes: dx, dy (i16 BE).
PacketBuffer mouseMove(std::int16_t dx, std::int16_t dy);
// mousePosition (magic 5), 18 bytes: x, y, 0, width, height (i16 BE).
PacketBuffer mousePosition(std::int16_t x, std::int16_t y, std::int16_t width, std::int16_t height);
// buttonDown (magic 8) or buttonUp (9), 9 bytes: the button's raw value.
PacketBuffer mouseButton(MouseButton button, bool down);
// scroll (magic 0x0A), 14 bytes: amount, amount again, 0 (i16 BE); 120 is one notch.
PacketBuffer scroll(std::int16_t amount);
// horizontalScroll (magic 0x55000001), 10 bytes: amount (i16 BE).
PacketBuffer horizontalScroll(std::int16_t amount);

} // namespace fixed

Bytes key(std::uint16_t windowsKey, bool down, Modifiers modifiers);
Bytes mouseMove(std::int16_t dx, std::int16_t dy);
Bytes mousePosition(std::int16_t x, std::int16_t y, std::int16_t width, std::int16_t height);
Bytes mouseButton(MouseButton button, bool down);
Bytes scroll(std::int16_t amount);
Bytes horizontalScroll(std::int16_t amount);

} // namespace corvane::stream::InputPacket
