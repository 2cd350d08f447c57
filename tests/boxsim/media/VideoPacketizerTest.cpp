#include "boxsim/media/VideoPacketizer.hpp"
#include <cstdint>
#include <string>
#include <gtest/gtest.h>
#include "platform/core/Error.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::boxsim {
namespace {

using corvane::test::hexOf;

TEST(VideoPacketizer, AFrameGoesOutAsThePinnedDatagrams) {
    VideoPacketizer packetizer(VideoPacketizer::Options{16, 100, 2, 0});
    const Bytes au{0, 0, 0, 1, 0x65, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const auto datagrams = packetizer.packetize(au, 7, 90000, true, 3.25);
    ASSERT_EQ(datagrams.size(), 4u);
    // RTP-style part (sequence, 90 kHz timestamp big-endian) | stream packet index, frame index (LE) | flags,
    // 0, multi-FEC flags, block 0 of 0 | fecInfo LE: 2 data shards << 22 | shard index << 12 | 100 % << 4.
    // The payload opens with the frame header: type 1, 3.3 ms in tenths, keyframe 2, 12 meaningful bytes
    // in the last packet; then the access unit and zero padding.
    EXPECT_EQ(hexOf(datagrams[0]), "80600000" "00015F90" "0000000000000000" "00000000" "07000000" "05001000" "40068000"
                                   "0121" "00020C000000" "00000001650102" "03");
    EXPECT_EQ(hexOf(datagrams[1]), "80600001" "00015F90" "0000000000000000" "01000000" "07000000" "03001000" "40168000"
                                   "0405060708090A0B0C0D0E0F00000000");
    // Parity shards 2 and 3 follow with their own headers.
    EXPECT_EQ(hexOf(datagrams[2]).substr(0, 64),
              "80600002" "00015F90" "0000000000000000" "02000000" "07000000" "01001000" "40268000");
    EXPECT_EQ(hexOf(datagrams[3]).substr(0, 64),
              "80600003" "00015F90" "0000000000000000" "03000000" "07000000" "01001000" "40368000");
    // The next frame goes on with sequence and packet index; a non-key frame says 1 in its header.
    const auto next = packetizer.packetize(Bytes(3, 0x41), 8, 93000, false);
    ASSERT_FALSE(next.empty());
    EXPECT_EQ(hexOf(next[0]).substr(0, 72),
              "80600004" "00016B48" "0000000000000000" "04000000" "08000000" "07001000" "50064000" "01000001");
}

TEST(VideoPacketizer, FramesSplitIntoEvenBlocksWithAtLeastTheMinimumParity) {
    using Block = VideoPacketizer::Block;
    // At most 5 data shards per block at 50 %: 17 packets make blocks of 5, 4, 4, 4.
    VideoPacketizer split(VideoPacketizer::Options{64, 50, 2, 5});
    EXPECT_EQ(split.planBlocks(17), (std::vector<Block>{{5, 3, 50}, {4, 2, 50}, {4, 2, 50}, {4, 2, 50}}));
    const auto datagrams = split.packetize(Bytes(17 * 64 - 8, 0x41), 100, 5, false);
    ASSERT_EQ(datagrams.size(), 17u + 9u);
    EXPECT_EQ(datagrams[8][27], 0xD0);   // block 1 of last block 3
    EXPECT_EQ(datagrams.back()[27], 0xF0);
    // Past four full blocks the frame goes out without parity; past 4 x 1023 packets not at all.
    EXPECT_EQ(split.planBlocks(21), (std::vector<Block>{{6, 0, 0}, {5, 0, 0}, {5, 0, 0}, {5, 0, 0}}));
    EXPECT_TRUE(split.planBlocks(4093).empty());
    EXPECT_THROW(split.packetize(Bytes(4093 * 64, 1), 1, 1, false), Error);
    // 20 % of one shard would round to 1: the percent sent is raised until the receiver reads 2.
    VideoPacketizer box(VideoPacketizer::Options{1392, 20, 2, 0});
    EXPECT_EQ(box.planBlocks(1), (std::vector<Block>{{1, 2, 101}}));
    for (std::size_t packets : {50u, 212u, 213u, 848u, 849u})
        for (const Block& b : box.planBlocks(packets)) {
            EXPECT_LE(b.dataShards + b.parityShards, 255) << packets;
            EXPECT_EQ(b.parityShards, (b.parityPercent * b.dataShards + 99) / 100) << packets;
        }
}

} // namespace
} // namespace corvane::boxsim
