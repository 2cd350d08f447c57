#include "engine/video/VideoPacket.hpp"
#include <gtest/gtest.h>

namespace corvane::stream {
namespace {

TEST(VideoPacketTest, ReadsEachFieldInItsByteOrder) {
    // 90 60 | seq 12 34 | ts 01 02 03 04 | 8 unread | stream idx 0x0A0B0C0D LE | frame 0x11223344 LE |
    // flags 05 | 00 | multiFecFlags 07 | multiFecBlocks 0xE0 | fecInfo 0x01406320 LE | payload AB
    const Bytes datagram{0x90, 0x60, 0x12, 0x34, 0x01, 0x02, 0x03, 0x04, 9, 9, 9, 9, 9, 9, 9, 9, 0x0D, 0x0C, 0x0B,
        0x0A, 0x44, 0x33, 0x22, 0x11, 0x05, 0x00, 0x07, 0xE0, 0x20, 0x63, 0x40, 0x01, 0xAB};
    const auto packet = VideoPacket::parse(datagram);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->rtpSequence, 0x1234);
    EXPECT_EQ(packet->rtpTimestamp, 0x01020304u);
    EXPECT_EQ(packet->streamPacketIndex, 0x0A0B0C0Du);
    EXPECT_EQ(packet->frameIndex, 0x11223344u);
    EXPECT_EQ(packet->flags.rawValue, 0x05);
    EXPECT_EQ(packet->multiFecFlags, 0x07);
    EXPECT_EQ(packet->fecInfo, 0x01406320u);
    EXPECT_EQ(packet->dataShards(), 5);
    EXPECT_EQ(packet->shardIndex(), 6);
    EXPECT_EQ(packet->parityShards(), 3); // (50 * 5 + 99) / 100
    EXPECT_TRUE(packet->isUsable());
    EXPECT_EQ(packet->blockIndex(), 2);
    EXPECT_EQ(packet->lastBlockIndex(), 3);
    EXPECT_EQ(packet->shard(), Bytes(datagram.begin() + 16, datagram.end()));
    // The header-only parse reads the same fields and keeps no copy.
    auto header = VideoPacket::parseHeader(datagram);
    ASSERT_TRUE(header);
    EXPECT_TRUE(header->datagram.empty());
    header->datagram = datagram;
    EXPECT_EQ(*header, *packet);
    EXPECT_FALSE(VideoPacket::parse(Bytes(32, 0))); // needs at least one payload byte
    EXPECT_EQ(VideoPacket::parse(Bytes(33, 0))->shard().size(), 17u);
}

} // namespace
} // namespace corvane::stream
