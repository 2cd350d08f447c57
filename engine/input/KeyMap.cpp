#include "engine/input/KeyMap.hpp"

#include <array>
#include <utility>

namespace corvane::stream::KeyMap {

namespace {

// Mac key codes lie below 0x80; a flat table indexed by the code is the whole map, 0 meaning "none" (no
// Windows virtual key is 0). Constant-initialised, so the first lookup from any thread finds it ready.
constexpr std::size_t tableSize = 0x80;

struct Pair {
    std::uint8_t mac;
    std::uint8_t windows;
};

constexpr Pair letters[] = {
    {0x00, 'A'}, {0x0B, 'B'}, {0x08, 'C'}, {0x02, 'D'}, {0x0E, 'E'}, {0x03, 'F'}, {0x05, 'G'},
    {0x04, 'H'}, {0x22, 'I'}, {0x26, 'J'}, {0x28, 'K'}, {0x25, 'L'}, {0x2E, 'M'}, {0x2D, 'N'},
    {0x1F, 'O'}, {0x23, 'P'}, {0x0C, 'Q'}, {0x0F, 'R'}, {0x01, 'S'}, {0x11, 'T'}, {0x20, 'U'},
    {0x09, 'V'}, {0x0D, 'W'}, {0x07, 'X'}, {0x10, 'Y'}, {0x06, 'Z'},
};

constexpr Pair digits[] = {
    {0x1D, '0'}, {0x12, '1'}, {0x13, '2'}, {0x14, '3'}, {0x15, '4'},
    {0x17, '5'}, {0x16, '6'}, {0x1A, '7'}, {0x1C, '8'}, {0x19, '9'},
};

constexpr Pair others[] = {
    // editing and navigation
    {0x24, 0x0D}, {0x30, 0x09}, {0x31, 0x20}, {0x33, 0x08}, {0x35, 0x1B}, {0x75, 0x2E}, {0x72, 0x2D},
    {0x73, 0x24}, {0x77, 0x23}, {0x74, 0x21}, {0x79, 0x22}, {0x7B, 0x25}, {0x7E, 0x26}, {0x7C, 0x27},
    {0x7D, 0x28},
    // punctuation
    {0x18, 0xBB}, {0x1B, 0xBD}, {0x21, 0xDB}, {0x1E, 0xDD}, {0x27, 0xDE}, {0x29, 0xBA}, {0x2A, 0xDC},
    {0x2B, 0xBC}, {0x2C, 0xBF}, {0x2F, 0xBE}, {0x32, 0xC0}, {0x0A, 0xE2},
    // locks and modifiers
    {0x39, 0x14}, {0x38, 0xA0}, {0x3C, 0xA1}, {0x3B, 0xA2}, {0x3E, 0xA3}, {0x3A, 0xA4}, {0x3D, 0xA5},
    {0x37, 0x5B}, {0x36, 0x5C},
    // keypad
    {0x52, 0x60}, {0x53, 0x61}, {0x54, 0x62}, {0x55, 0x63}, {0x56, 0x64}, {0x57, 0x65}, {0x58, 0x66},
    {0x59, 0x67}, {0x5B, 0x68}, {0x5C, 0x69}, {0x41, 0x6E}, {0x43, 0x6A}, {0x45, 0x6B}, {0x4E, 0x6D},
    {0x4B, 0x6F}, {0x4C, 0x0D}, {0x47, 0x90}, {0x51, 0x92},
    // F1 to F20
    {0x7A, 0x70}, {0x78, 0x71}, {0x63, 0x72}, {0x76, 0x73}, {0x60, 0x74}, {0x61, 0x75}, {0x62, 0x76},
    {0x64, 0x77}, {0x65, 0x78}, {0x6D, 0x79}, {0x67, 0x7A}, {0x6F, 0x7B}, {0x69, 0x7C}, {0x6B, 0x7D},
    {0x71, 0x7E}, {0x6A, 0x7F}, {0x40, 0x80}, {0x4F, 0x81}, {0x50, 0x82}, {0x5A, 0x83},
    // volume
    {0x48, 0xAF}, {0x49, 0xAE}, {0x4A, 0xAD},
    // Japanese keyboard
    {0x68, 0x15}, {0x5D, 0xDC}, {0x5E, 0xC1},
};

constexpr std::array<std::uint8_t, tableSize> makeTable() {
    std::array<std::uint8_t, tableSize> table{};
    for (const Pair& p : letters) table[p.mac] = p.windows;
    for (const Pair& p : digits) table[p.mac] = p.windows;
    for (const Pair& p : others) table[p.mac] = p.windows;
    return table;
}

constexpr std::array<std::uint8_t, tableSize> table = makeTable();

// Every Mac code is distinct, so the table holds exactly one entry per pair.
constexpr bool tableIsComplete() {
    std::size_t count = 0;
    for (std::uint8_t value : table) count += value != 0;
    return count == std::size(letters) + std::size(digits) + std::size(others);
}
static_assert(std::size(letters) + std::size(digits) + std::size(others) == 116);
static_assert(tableIsComplete());

constexpr std::uint64_t shiftFlag = 0x00020000;
constexpr std::uint64_t controlFlag = 0x00040000;
constexpr std::uint64_t optionFlag = 0x00080000;
constexpr std::uint64_t commandFlag = 0x00100000;

} // namespace

std::optional<std::uint16_t> windowsKey(std::uint16_t macCode, bool commandAsControl) {
    if (macCode >= tableSize || table[macCode] == 0) return std::nullopt;
    const std::uint16_t vk = table[macCode];
    if (commandAsControl) {
        if (vk == leftWin) return leftControl;
        if (vk == rightWin) return rightControl;
    }
    return vk;
}

InputPacket::Modifiers modifiers(std::uint64_t flags, bool commandAsControl) {
    using InputPacket::Modifiers;
    Modifiers result;
    if (flags & shiftFlag) result.insert(Modifiers::shift);
    if (flags & controlFlag) result.insert(Modifiers::control);
    if (flags & optionFlag) result.insert(Modifiers::alt);
    if (flags & commandFlag) result.insert(commandAsControl ? Modifiers::control : Modifiers::meta);
    return result;
}

std::optional<bool> isModifierDown(std::uint16_t macCode, std::uint64_t flags) {
    std::uint64_t bit = 0;
    switch (macCode) {
    case 0x36: bit = 0x00000010; break; // right Command
    case 0x37: bit = 0x00000008; break; // left Command
    case 0x38: bit = 0x00000002; break; // left Shift
    case 0x39: bit = 0x00010000; break; // Caps Lock
    case 0x3A: bit = 0x00000020; break; // left Option
    case 0x3B: bit = 0x00000001; break; // left Control
    case 0x3C: bit = 0x00000004; break; // right Shift
    case 0x3D: bit = 0x00000040; break; // right Option
    case 0x3E: bit = 0x00002000; break; // right Control
    default: return std::nullopt;
    }
    return (flags & bit) != 0;
}

} // namespace corvane::stream::KeyMap
