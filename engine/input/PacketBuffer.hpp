#pragma once

#include "platform/core/Bytes.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace corvane::stream {

// One input or controller packet held by value: building one allocates nothing, so a packet per key, move,
// wheel or controller change costs no heap traffic until (and unless) it is turned into Bytes.
class PacketBuffer final {
public:
    // The largest packet: the multi-controller state.
    static constexpr std::size_t capacity = 34;

    std::size_t size() const { return size_; }
    const std::uint8_t* data() const { return bytes_.data(); }
    ByteView view() const { return ByteView(bytes_.data(), size_); }
    Bytes bytes() const { return Bytes(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(size_)); }

    // Writers for the builders; each asserts it stays inside the capacity.
    void putU8(std::uint8_t value) { bytes_.at(size_++) = value; }
    void putU16LE(std::uint16_t value) {
        putU8(static_cast<std::uint8_t>(value));
        putU8(static_cast<std::uint8_t>(value >> 8));
    }
    void putU16BE(std::uint16_t value) {
        putU8(static_cast<std::uint8_t>(value >> 8));
        putU8(static_cast<std::uint8_t>(value));
    }
    void putU32LE(std::uint32_t value) {
        putU16LE(static_cast<std::uint16_t>(value));
        putU16LE(static_cast<std::uint16_t>(value >> 16));
    }
    void putU32BE(std::uint32_t value) {
        putU16BE(static_cast<std::uint16_t>(value >> 16));
        putU16BE(static_cast<std::uint16_t>(value));
    }

    // The framing every input and controller packet shares: the length of what follows it (magic and
    // payload) as a big-endian u32, then the kind's magic as a little-endian u32.
    static PacketBuffer framed(std::uint32_t magic, std::size_t payloadSize) {
        PacketBuffer packet;
        packet.putU32BE(static_cast<std::uint32_t>(payloadSize + 4));
        packet.putU32LE(magic);
        return packet;
    }

    bool operator==(const PacketBuffer& other) const {
        return size_ == other.size_ && std::equal(view().begin(), view().end(), other.view().begin());
    }

private:
    std::array<std::uint8_t, capacity> bytes_{};
    std::size_t size_ = 0;
};

} // namespace corvane::stream
