#include "engine/input/GamepadPacket.hpp"

#include <stdexcept>

namespace corvane::stream::GamepadPacket {

namespace {

constexpr std::uint32_t arrivalMagic = 0x55000004;
constexpr std::uint32_t stateMagic = 0x0000000C;

} // namespace

std::optional<Kind> kindFromRaw(std::uint8_t rawValue) {
    if (rawValue > 3) return std::nullopt;
    return static_cast<Kind>(rawValue);
}

std::string_view toString(Kind kind) {
    switch (kind) {
    case Kind::xbox: return "xbox";
    case Kind::playstation: return "playstation";
    case Kind::nintendo: return "nintendo";
    case Kind::unknown: break;
    }
    return "unknown";
}

namespace fixed {

PacketBuffer arrival(std::int64_t index, Kind kind, Capabilities capabilities, Buttons supportedButtons) {
    if (index < 0 || index > 255) throw std::out_of_range("controller slot outside 0...255");
    PacketBuffer packet = PacketBuffer::framed(arrivalMagic, 8);
    packet.putU8(static_cast<std::uint8_t>(index));
    packet.putU8(static_cast<std::uint8_t>(kind));
    packet.putU16LE(capabilities.rawValue);
    packet.putU32LE(supportedButtons.rawValue);
    return packet;
}

PacketBuffer state(std::int64_t index, std::uint16_t activeMask, Buttons buttons, std::uint8_t leftTrigger,
                   std::uint8_t rightTrigger, std::int16_t leftX, std::int16_t leftY, std::int16_t rightX,
                   std::int16_t rightY) {
    if (index < 0 || index > 65535) throw std::out_of_range("controller slot outside 0...65535");
    PacketBuffer packet = PacketBuffer::framed(stateMagic, 26);
    packet.putU16LE(0x001A);
    packet.putU16LE(static_cast<std::uint16_t>(index));
    packet.putU16LE(activeMask);
    packet.putU16LE(0x0014);
    packet.putU16LE(static_cast<std::uint16_t>(buttons.rawValue));
    packet.putU8(leftTrigger);
    packet.putU8(rightTrigger);
    packet.putU16LE(static_cast<std::uint16_t>(leftX));
    packet.putU16LE(static_cast<std::uint16_t>(leftY));
    packet.putU16LE(static_cast<std::uint16_t>(rightX));
    packet.putU16LE(static_cast<std::uint16_t>(rightY));
    packet.putU16LE(0x009C);
    // The buttons word is split: paddles, touchpad and misc come after the sticks.
    packet.putU16LE(static_cast<std::uint16_t>(buttons.rawValue >> 16));
    packet.putU16LE(0x0055);
    return packet;
}

} // namespace fixed

Bytes arrival(std::int64_t index, Kind kind, Capabilities capabilities, Buttons supportedButtons) {
    return fixed::arrival(index, kind, capabilities, supportedButtons).bytes();
}

Bytes state(std::int64_t index, std::uint16_t activeMask, Buttons buttons, std::uint8_t leftTrigger,
            std::uint8_t rightTrigger, std::int16_t leftX, std::int16_t leftY, std::int16_t rightX, std::int16_t rightY) {
    return fixed::state(index, activeMask, buttons, leftTrigger, rightTrigger, leftX, leftY, rightX, rightY).bytes();
}

} // namespace corvane::stream::GamepadPacket
