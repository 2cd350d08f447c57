#pragma once

#include "platform/core/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

// Little-endian readers and a copying slice for received packets. Offsets count from the view's first byte.
// Every caller checks the length first, so reading outside the buffer is a programming error and throws.
namespace corvane::stream {

inline void requireRange(ByteView data, std::size_t offset, std::size_t count) {
    if (offset > data.size() || count > data.size() - offset)
        throw std::out_of_range("read outside the buffer");
}

inline std::uint16_t u16LE(ByteView data, std::size_t offset) {
    requireRange(data, offset, 2);
    return static_cast<std::uint16_t>(data[offset] | data[offset + 1] << 8);
}

inline std::uint32_t u32LE(ByteView data, std::size_t offset) {
    requireRange(data, offset, 4);
    return std::uint32_t(data[offset]) | std::uint32_t(data[offset + 1]) << 8 |
           std::uint32_t(data[offset + 2]) << 16 | std::uint32_t(data[offset + 3]) << 24;
}

inline Bytes sub(ByteView data, std::size_t offset, std::size_t count) {
    requireRange(data, offset, count);
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(offset),
                 data.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

inline void putU16LE(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void putU32LE(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

} // namespace corvane::stream
