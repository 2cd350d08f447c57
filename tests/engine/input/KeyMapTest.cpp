#include "engine/input/KeyMap.hpp"
#include <gtest/gtest.h>
#include <map>
#include <optional>

namespace corvane::stream {
namespace {

using InputPacket::Modifiers;

// The whole map as the box's Windows expects it, written out independently of the code's tables.
const std::map<std::uint16_t, std::uint16_t>& expectedMap() {
    static const std::map<std::uint16_t, std::uint16_t> map = [] {
        std::map<std::uint16_t, std::uint16_t> m;
        const std::pair<std::uint16_t, char> letters[] = {
            {0x00, 'A'}, {0x0B, 'B'}, {0x08, 'C'}, {0x02, 'D'}, {0x0E, 'E'}, {0x03, 'F'}, {0x05, 'G'},
            {0x04, 'H'}, {0x22, 'I'}, {0x26, 'J'}, {0x28, 'K'}, {0x25, 'L'}, {0x2E, 'M'}, {0x2D, 'N'},
            {0x1F, 'O'}, {0x23, 'P'}, {0x0C, 'Q'}, {0x0F, 'R'}, {0x01, 'S'}, {0x11, 'T'}, {0x20, 'U'},
            {0x09, 'V'}, {0x0D, 'W'}, {0x07, 'X'}, {0x10, 'Y'}, {0x06, 'Z'}};
        for (auto [mac, letter] : letters) m[mac] = static_cast<std::uint16_t>(letter);
        const std::uint16_t digitCodes[] = {0x1D, 0x12, 0x13, 0x14, 0x15, 0x17, 0x16, 0x1A, 0x1C, 0x19};
        for (std::uint16_t d = 0; d < 10; ++d) m[digitCodes[d]] = static_cast<std::uint16_t>(0x30 + d);
        const std::pair<std::uint16_t, std::uint16_t> others[] = {
            {0x24, 0x0D}, {0x30, 0x09}, {0x31, 0x20}, {0x33, 0x08}, {0x35, 0x1B}, {0x75, 0x2E}, {0x72, 0x2D},
            {0x73, 0x24}, {0x77, 0x23}, {0x74, 0x21}, {0x79, 0x22}, {0x7B, 0x25}, {0x7E, 0x26}, {0x7C, 0x27},
            {0x7D, 0x28}, {0x18, 0xBB}, {0x1B, 0xBD}, {0x21, 0xDB}, {0x1E, 0xDD}, {0x27, 0xDE}, {0x29, 0xBA},
            {0x2A, 0xDC}, {0x2B, 0xBC}, {0x2C, 0xBF}, {0x2F, 0xBE}, {0x32, 0xC0}, {0x0A, 0xE2}, {0x39, 0x14},
            {0x38, 0xA0}, {0x3C, 0xA1}, {0x3B, 0xA2}, {0x3E, 0xA3}, {0x3A, 0xA4}, {0x3D, 0xA5}, {0x37, 0x5B},
            {0x36, 0x5C}, {0x52, 0x60}, {0x53, 0x61}, {0x54, 0x62}, {0x55, 0x63}, {0x56, 0x64}, {0x57, 0x65},
            {0x58, 0x66}, {0x59, 0x67}, {0x5B, 0x68}, {0x5C, 0x69}, {0x41, 0x6E}, {0x43, 0x6A}, {0x45, 0x6B},
            {0x4E, 0x6D}, {0x4B, 0x6F}, {0x4C, 0x0D}, {0x47, 0x90}, {0x51, 0x92}, {0x7A, 0x70}, {0x78, 0x71},
            {0x63, 0x72}, {0x76, 0x73}, {0x60, 0x74}, {0x61, 0x75}, {0x62, 0x76}, {0x64, 0x77}, {0x65, 0x78},
            {0x6D, 0x79}, {0x67, 0x7A}, {0x6F, 0x7B}, {0x69, 0x7C}, {0x6B, 0x7D}, {0x71, 0x7E}, {0x6A, 0x7F},
            {0x40, 0x80}, {0x4F, 0x81}, {0x50, 0x82}, {0x5A, 0x83}, {0x48, 0xAF}, {0x49, 0xAE}, {0x4A, 0xAD},
            {0x68, 0x15}, {0x5D, 0xDC}, {0x5E, 0xC1}};
        for (auto [mac, vk] : others) m[mac] = vk;
        return m;
    }();
    return map;
}

TEST(KeyMapTest, MapsExactlyTheKnownMacCodesAndReadsTheModifierFlagsAndBits) {
    ASSERT_EQ(expectedMap().size(), 116u);
    for (std::uint32_t mac = 0; mac <= 0xFFFF; ++mac) {
        const auto code = static_cast<std::uint16_t>(mac);
        const auto it = expectedMap().find(code);
        const auto plain = it == expectedMap().end() ? std::nullopt : std::optional(it->second);
        const auto asControl = code == 0x37 ? std::optional(KeyMap::leftControl)
                               : code == 0x36 ? std::optional(KeyMap::rightControl) : plain;
        EXPECT_EQ(KeyMap::windowsKey(code, false), plain) << "mac code " << mac;
        EXPECT_EQ(KeyMap::windowsKey(code, true), asControl) << "mac code " << mac;
    }
    // Modifiers read the device-independent flags, and each modifier key its own bit.
    EXPECT_EQ(KeyMap::modifiers(0x120000, false).rawValue, 0x09);
    EXPECT_EQ(KeyMap::modifiers(0x120000, true).rawValue, 0x03);
    EXPECT_EQ(KeyMap::modifiers(0x140000, true), Modifiers::control); // Control and Command: just control
    EXPECT_EQ(KeyMap::modifiers(0x080000, false), Modifiers::alt);
    // Caps Lock, Fn and the device-dependent bits count for nothing.
    EXPECT_TRUE(KeyMap::modifiers(0x810000 | 0x2001 | 0x7E, false).isEmpty());
    // A modifier key reads its own side's bit.
    const std::pair<std::uint16_t, std::uint64_t> bits[] = {{0x36, 0x10}, {0x37, 0x08},   {0x38, 0x02},
                                                            {0x39, 0x10000}, {0x3A, 0x20}, {0x3B, 0x01},
                                                            {0x3C, 0x04}, {0x3D, 0x40},   {0x3E, 0x2000}};
    for (auto [mac, bit] : bits)
        EXPECT_EQ(std::pair(KeyMap::isModifierDown(mac, bit), KeyMap::isModifierDown(mac, ~bit)),
                  std::pair(std::optional(true), std::optional(false))) << mac;
    EXPECT_EQ(KeyMap::isModifierDown(0x00, 0xFFFFFFFF), std::nullopt); // not a modifier key
    EXPECT_EQ(KeyMap::isModifierDown(0x3F, 0xFFFFFFFF), std::nullopt);
}

} // namespace
} // namespace corvane::stream
