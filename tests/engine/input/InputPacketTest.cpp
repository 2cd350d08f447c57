#include "engine/input/InputPacket.hpp"
#include <gtest/gtest.h>

namespace corvane::stream {
namespace {

using InputPacket::Modifiers;
using InputPacket::MouseButton;

struct Case {
    const char* name;
    Bytes packet;
    Bytes expected;
};

// Every kind with its bytes written out: header (length BE, magic LE), then the payload.
TEST(InputPacketTest, BuildsEveryKindByteForByte) {
    const Case cases[] = {
        {"key-down 0x41 with shift", InputPacket::key(0x41, true, Modifiers::shift),
         {0x00, 0x00, 0x00, 0x0A, 0x03, 0x00, 0x00, 0x00, 0x00, 0x41, 0x80, 0x01, 0x00, 0x00}},
        {"key-up uses magic 4, same layout", InputPacket::key(0x41, false, Modifiers::shift),
         {0x00, 0x00, 0x00, 0x0A, 0x04, 0x00, 0x00, 0x00, 0x00, 0x41, 0x80, 0x01, 0x00, 0x00}},
        {"left shift, no modifiers", InputPacket::key(0x00A0, true, {}),
         {0x00, 0x00, 0x00, 0x0A, 0x03, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x80, 0x00, 0x00, 0x00}},
        {"top bit already set is kept, not added", InputPacket::key(0x80A0, true, Modifiers::control | Modifiers::meta),
         {0x00, 0x00, 0x00, 0x0A, 0x03, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x80, 0x0A, 0x00, 0x00}},
        {"relative motion -1, 258", InputPacket::mouseMove(-1, 258),
         {0x00, 0x00, 0x00, 0x08, 0x07, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x01, 0x02}},
        {"absolute position", InputPacket::mousePosition(1919, 1079, 1920, 1080),
         {0x00, 0x00, 0x00, 0x0E, 0x05, 0x00, 0x00, 0x00, 0x07, 0x7F, 0x04, 0x37, 0x00, 0x00, 0x07, 0x80, 0x04, 0x38}},
        {"button down x2", InputPacket::mouseButton(MouseButton::x2, true),
         {0x00, 0x00, 0x00, 0x05, 0x08, 0x00, 0x00, 0x00, 0x05}},
        {"button up left", InputPacket::mouseButton(MouseButton::left, false),
         {0x00, 0x00, 0x00, 0x05, 0x09, 0x00, 0x00, 0x00, 0x01}},
        {"vertical wheel repeats its amount", InputPacket::scroll(-120),
         {0x00, 0x00, 0x00, 0x0A, 0x0A, 0x00, 0x00, 0x00, 0xFF, 0x88, 0xFF, 0x88, 0x00, 0x00}},
        {"horizontal wheel carries it once", InputPacket::horizontalScroll(120),
         {0x00, 0x00, 0x00, 0x06, 0x01, 0x00, 0x00, 0x55, 0x00, 0x78}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.packet, c.expected) << c.name;
}

TEST(InputPacketTest, FixedBuffersHoldTheSameBytes) {
    EXPECT_EQ(InputPacket::fixed::key(0x5B, false, Modifiers::meta).bytes(), InputPacket::key(0x5B, false, Modifiers::meta));
    const PacketBuffer position = InputPacket::fixed::mousePosition(-32768, 32767, 0, 0);
    EXPECT_EQ(position.size(), 18u);
    EXPECT_EQ(Bytes(position.view().begin(), position.view().end()), InputPacket::mousePosition(-32768, 32767, 0, 0));
    EXPECT_FALSE(InputPacket::fixed::scroll(1) == InputPacket::fixed::horizontalScroll(1));
    EXPECT_FALSE(InputPacket::mouseButtonFromRaw(0) || InputPacket::mouseButtonFromRaw(6));
    EXPECT_EQ(InputPacket::mouseButtonFromRaw(5), MouseButton::x2);
}

} // namespace
} // namespace corvane::stream
