#pragma once

#include "engine/input/OptionSet.hpp"
#include "engine/input/PacketBuffer.hpp"
#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

// The two packets through which game controllers appear on the box: the arrival of a controller in a slot and
// the multi-controller state of one slot. Same framing as InputPacket; all payload fields little-endian. Pure
// functions, callable from any thread; fixed::* builds without allocating.
namespace corvane::stream::GamepadPacket {

struct Buttons : OptionSet<Buttons, std::uint32_t> {
    static const Buttons dpadUp, dpadDown, dpadLeft, dpadRight, start, back, leftStick, rightStick, leftShoulder,
        rightShoulder, guide, a, b, x, y, paddle1, paddle2, paddle3, paddle4, touchpad, misc;
};
inline constexpr Buttons Buttons::dpadUp = Buttons::of(0x000001);
inline constexpr Buttons Buttons::dpadDown = Buttons::of(0x000002);
inline constexpr Buttons Buttons::dpadLeft = Buttons::of(0x000004);
inline constexpr Buttons Buttons::dpadRight = Buttons::of(0x000008);
inline constexpr Buttons Buttons::start = Buttons::of(0x000010);
inline constexpr Buttons Buttons::back = Buttons::of(0x000020);
inline constexpr Buttons Buttons::leftStick = Buttons::of(0x000040);
inline constexpr Buttons Buttons::rightStick = Buttons::of(0x000080);
inline constexpr Buttons Buttons::leftShoulder = Buttons::of(0x000100);
inline constexpr Buttons Buttons::rightShoulder = Buttons::of(0x000200);
inline constexpr Buttons Buttons::guide = Buttons::of(0x000400);
inline constexpr Buttons Buttons::a = Buttons::of(0x001000);
inline constexpr Buttons Buttons::b = Buttons::of(0x002000);
inline constexpr Buttons Buttons::x = Buttons::of(0x004000);
inline constexpr Buttons Buttons::y = Buttons::of(0x008000);
inline constexpr Buttons Buttons::paddle1 = Buttons::of(0x010000);
inline constexpr Buttons Buttons::paddle2 = Buttons::of(0x020000);
inline constexpr Buttons Buttons::paddle3 = Buttons::of(0x040000);
inline constexpr Buttons Buttons::paddle4 = Buttons::of(0x080000);
inline constexpr Buttons Buttons::touchpad = Buttons::of(0x100000);
inline constexpr Buttons Buttons::misc = Buttons::of(0x200000);

struct Capabilities : OptionSet<Capabilities, std::uint16_t> {
    static const Capabilities analogTriggers, rumble, triggerRumble, touchpad, accelerometer, gyro, battery, rgbLED;
};
inline constexpr Capabilities Capabilities::analogTriggers = Capabilities::of(0x01);
inline constexpr Capabilities Capabilities::rumble = Capabilities::of(0x02);
inline constexpr Capabilities Capabilities::triggerRumble = Capabilities::of(0x04);
inline constexpr Capabilities Capabilities::touchpad = Capabilities::of(0x08);
inline constexpr Capabilities Capabilities::accelerometer = Capabilities::of(0x10);
inline constexpr Capabilities Capabilities::gyro = Capabilities::of(0x20);
inline constexpr Capabilities Capabilities::battery = Capabilities::of(0x40);
inline constexpr Capabilities Capabilities::rgbLED = Capabilities::of(0x80);

enum class Kind : std::uint8_t { unknown = 0, xbox = 1, playstation = 2, nintendo = 3 };

// The kind with this raw value; none for anything above 3.
std::optional<Kind> kindFromRaw(std::uint8_t rawValue);
// "xbox", "playstation", "nintendo" or "unknown", as log lines show it.
std::string_view toString(Kind kind);

namespace fixed {

// Arrival (magic 0x55000004), 16 bytes: slot u8 | kind u8 | capabilities u16 | supported buttons u32.
// `index` must lie in 0...255; anything else is a programming error and throws std::out_of_range.
PacketBuffer arrival(std::int64_t index, Kind kind, Capabilities capabilities, Buttons supportedButtons);

// Multi-controller state (magic 0x0C), 34 bytes: 0x001A | slot | active mask | 0x0014 | buttons low 16 |
// left trigger u8 | right trigger u8 | LX | LY | RX | RY | 0x009C | buttons high 16 | 0x0055.
// `index` must lie in 0...65535; anything else throws std::out_of_range.
PacketBuffer state(std::int64_t index, std::uint16_t activeMask, Buttons buttons, std::uint8_t leftTrigger,
                   std::uint8_t rightTrigger, std::int16_t leftX, std::int16_t leftY, std::int16_t rightX,
                   std::int16_t rightY);

} // namespace fixed

Bytes arrival(std::int64_t index, Kind kind, Capabilities capabilities, Buttons supportedButtons);
Bytes state(std::int64_t index, std::uint16_t activeMask, Buttons buttons, std::uint8_t leftTrigger,
            std::uint8_t rightTrigger, std::int16_t leftX, std::int16_t leftY, std::int16_t rightX, std::int16_t rightY);

} // namespace corvane::stream::GamepadPacket
