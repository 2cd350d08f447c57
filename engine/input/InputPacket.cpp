#include "engine/input/InputPacket.hpp"

namespace corvane::stream::InputPacket {

namespace {

// The packet kinds. There is no 2 and no 6: relative motion is 7.
enum class Magic : std::uint32_t {
    keyDown = 0x00000003,
    keyUp = 0x00000004,
    mousePosition = 0x00000005,
    mouseMove = 0x00000007,
    buttonDown = 0x00000008,
    buttonUp = 0x00000009,
    scroll = 0x0000000A,
    horizontalScroll = 0x55000001,
};

PacketBuffer framed(Magic magic, std::size_t payloadSize) {
    return PacketBuffer::framed(static_cast<std::uint32_t>(magic), payloadSize);
}

std::uint16_t word(std::int16_t value) { return static_cast<std::uint16_t>(value); }

} // namespace

std::optional<MouseButton> mouseButtonFromRaw(std::uint8_t rawValue) {
    if (rawValue < 1 || rawValue > 5) return std::nullopt;
    return static_cast<MouseButton>(rawValue);
}

namespace fixed {

PacketBuffer key(std::uint16_t windowsKey, bool down, Modifiers modifiers) {
    PacketBuffer packet = framed(down ? Magic::keyDown : Magic::keyUp, 6);
    packet.putU8(0);
    // The flag is OR-ed: a code that already has the top bit keeps it.
    packet.putU16LE(static_cast<std::uint16_t>(windowsKey | 0x8000));
    packet.putU8(modifiers.rawValue);
    packet.putU16LE(0);
    return packet;
}

PacketBuffer mouseMove(std::int16_t dx, std::int16_t dy) {
    PacketBuffer packet = framed(Magic::mouseMove, 4);
    packet.putU16BE(word(dx));
    packet.putU16BE(word(dy));
    return packet;
}

PacketBuffer mousePosition(std::int16_t x, std::int16_t y, std::int16_t width, std::int16_t height) {
    PacketBuffer packet = framed(Magic::mousePosition, 10);
    packet.putU16BE(word(x));
    packet.putU16BE(word(y));
    packet.putU16BE(0);
    packet.putU16BE(word(width));
    packet.putU16BE(word(height));
    return packet;
}

PacketBuffer mouseButton(MouseButton button, bool down) {
    PacketBuffer packet = framed(down ? Magic::buttonDown : Magic::buttonUp, 1);
    packet.putU8(static_cast<std::uint8_t>(button));
    return packet;
}

PacketBuffer scroll(std::int16_t amount) {
    PacketBuffer packet = framed(Magic::scroll, 6);
    packet.putU16BE(word(amount));
    packet.putU16BE(word(amount));
    packet.putU16BE(0);
    return packet;
}

PacketBuffer horizontalScroll(std::int16_t amount) {
    PacketBuffer packet = framed(Magic::horizontalScroll, 2);
    packet.putU16BE(word(amount));
    return packet;
}

} // namespace fixed

Bytes key(std::uint16_t windowsKey, bool down, Modifiers modifiers) {
    return fixed::key(windowsKey, down, modifiers).bytes();
}
Bytes mouseMove(std::int16_t dx, std::int16_t dy) { return fixed::mouseMove(dx, dy).bytes(); }
Bytes mousePosition(std::int16_t x, std::int16_t y, std::int16_t width, std::int16_t height) {
    return fixed::mousePosition(x, y, width, height).bytes();
}
Bytes mouseButton(MouseButton button, bool down) { return fixed::mouseButton(button, down).bytes(); }
Bytes scroll(std::int16_t amount) { return fixed::scroll(amount).bytes(); }
Bytes horizontalScroll(std::int16_t amount) { return fixed::horizontalScroll(amount).bytes(); }

} // namespace corvane::stream::InputPacket
