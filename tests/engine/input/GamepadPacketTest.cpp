#include "engine/input/GamepadPacket.hpp"
#include <gtest/gtest.h>
#include <stdexcept>

namespace corvane::stream {
namespace {

using GamepadPacket::Buttons;
using GamepadPacket::Capabilities;
using GamepadPacket::Kind;

TEST(GamepadPacketTest, ArrivalCarriesSlotKindAndCapabilitiesAndStateSplitsTheButtonsAroundTheSticks) {
    const Bytes packet = GamepadPacket::arrival(3, Kind::playstation, Capabilities::analogTriggers | Capabilities::rumble |
                                                                         Capabilities::touchpad,
                                                Buttons::of(0x0010F3FF));
    EXPECT_EQ(packet, (Bytes{0x00, 0x00, 0x00, 0x0C, 0x04, 0x00, 0x00, 0x55, 0x03, 0x02, 0x0B, 0x00, 0xFF, 0xF3,
                             0x10, 0x00}));
    EXPECT_EQ(GamepadPacket::arrival(255, Kind::unknown, {}, {})[8], 0xFF);
    EXPECT_THROW(GamepadPacket::arrival(256, Kind::xbox, {}, {}), std::out_of_range);
    EXPECT_THROW(GamepadPacket::arrival(-1, Kind::xbox, {}, {}), std::out_of_range);
    EXPECT_FALSE(GamepadPacket::kindFromRaw(4));
    EXPECT_EQ(GamepadPacket::kindFromRaw(3), Kind::nintendo);
    // The state splits the buttons around the sticks.
    // A neutral state for slot 2 with mask 0.
    Bytes neutral = {0x00, 0x00, 0x00, 0x1E, 0x0C, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x02, 0x00, 0x00, 0x00, 0x14, 0x00};
    neutral.resize(neutral.size() + 12, 0x00);
    neutral.insert(neutral.end(), {0x9C, 0x00, 0x00, 0x00, 0x55, 0x00});
    EXPECT_EQ(GamepadPacket::state(2, 0, {}, 0, 0, 0, 0, 0, 0), neutral);
    const Bytes full = GamepadPacket::state(15, 0x8001, Buttons::a | Buttons::misc | Buttons::paddle1, 255, 1, -32767,
                                            32767, -1, 256);
    EXPECT_EQ(full, (Bytes{0x00, 0x00, 0x00, 0x1E, 0x0C, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x0F, 0x00, 0x01, 0x80,
                           0x14, 0x00, 0x00, 0x10, 0xFF, 0x01, 0x01, 0x80, 0xFF, 0x7F, 0xFF, 0xFF, 0x00, 0x01,
                           0x9C, 0x00, 0x21, 0x00, 0x55, 0x00}));
    EXPECT_EQ(GamepadPacket::fixed::state(65535, 0, Buttons::misc, 0, 0, 0, 0, 0, 0).size(), 34u);
    EXPECT_THROW(GamepadPacket::state(65536, 0, {}, 0, 0, 0, 0, 0, 0), std::out_of_range);
}

} // namespace
} // namespace corvane::stream
