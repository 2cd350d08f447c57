#include "boxsim/media/VideoPacketizer.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>

#include <gtest/gtest.h>
#include <isa-l/erasure_code.h>

#include "platform/core/Error.hpp"

namespace corvane::boxsim {
namespace {

// The receiving side's reading of a video datagram, written independently of the packetiser.
struct Parsed {
    std::uint16_t sequence = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t streamPacketIndex = 0;
    std::uint32_t frameIndex = 0;
    int block = 0;
    int lastBlock = 0;
    int dataShards = 0;
    int shardIndex = 0;
    int percent = 0;
    int parityShards = 0;
    Bytes shard;  // bytes 16..
};

std::uint32_t le32(const Bytes& d, std::size_t at) {
    return std::uint32_t(d[at]) | std::uint32_t(d[at + 1]) << 8 | std::uint32_t(d[at + 2]) << 16 |
           std::uint32_t(d[at + 3]) << 24;
}

Parsed parse(const Bytes& d) {
    EXPECT_GE(d.size(), 33u);
    Parsed p;
    p.sequence = static_cast<std::uint16_t>(d[2] << 8 | d[3]);
    p.timestamp = std::uint32_t(d[4]) << 24 | std::uint32_t(d[5]) << 16 | std::uint32_t(d[6]) << 8 | d[7];
    p.streamPacketIndex = le32(d, 16);
    p.frameIndex = le32(d, 20);
    p.block = (d[27] >> 4) & 3;
    p.lastBlock = d[27] >> 6;
    const std::uint32_t fec = le32(d, 28);
    p.dataShards = static_cast<int>(fec >> 22);
    p.shardIndex = static_cast<int>((fec >> 12) & 0x3FF);
    p.percent = static_cast<int>((fec >> 4) & 0xFF);
    p.parityShards = (p.percent * p.dataShards + 99) / 100;
    p.shard.assign(d.begin() + 16, d.end());
    return p;
}

Bytes accessUnit(std::size_t size, std::uint32_t seed) {
    Bytes au{0, 0, 0, 1, 0x65};
    std::mt19937 random(seed);
    while (au.size() < size) au.push_back(static_cast<std::uint8_t>(random() | 1));  // no stray zeros at the end
    return au;
}

// What the receiver makes of a frame's data shards: payload, frame header, access unit.
struct Frame {
    Bytes payload;
    std::optional<Bytes> au;
    double hostMs = 0;
    int frameType = 0;
};

Frame assemble(const std::vector<Parsed>& packets) {
    std::map<std::pair<int, int>, const Parsed*> data;
    for (const auto& p : packets)
        if (p.shardIndex < p.dataShards) data[{p.block, p.shardIndex}] = &p;
    Frame f;
    std::size_t lastShard = 0;
    for (const auto& [key, p] : data) {
        f.payload.insert(f.payload.end(), p->shard.begin() + 16, p->shard.end());
        lastShard = p->shard.size() - 16;
    }
    if (f.payload.size() < 9 || f.payload[0] != 1) return f;
    f.hostMs = (f.payload[1] | f.payload[2] << 8) / 10.0;
    f.frameType = f.payload[3];
    const std::size_t meaningful = static_cast<std::size_t>(f.payload[4] | f.payload[5] << 8);
    if (meaningful == 0 || meaningful > lastShard) return f;
    f.au = Bytes(f.payload.begin() + 8, f.payload.end() - static_cast<std::ptrdiff_t>(lastShard - meaningful));
    return f;
}

TEST(VideoPacketizer, OneBlockFrameCarriesHeadersAndTheAccessUnitExactly) {
    VideoPacketizer packetizer(VideoPacketizer::Options{100, 20, 2, 0});
    const Bytes au = accessUnit(950, 1);  // 958 payload bytes: 10 packets, 58 meaningful in the last
    const auto datagrams = packetizer.packetize(au, 7, 90000, true, 3.25);

    // 10 data shards at 20 % make 2 parity shards.
    ASSERT_EQ(datagrams.size(), 12u);
    std::vector<Parsed> packets;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        EXPECT_EQ(datagrams[i].size(), 132u);
        const Parsed p = parse(datagrams[i]);
        EXPECT_EQ(p.sequence, i);
        EXPECT_EQ(p.streamPacketIndex, i);
        EXPECT_EQ(p.timestamp, 90000u);
        EXPECT_EQ(p.frameIndex, 7u);
        EXPECT_EQ(p.block + p.lastBlock, 0);
        EXPECT_EQ(p.dataShards, 10);
        EXPECT_EQ(p.percent, 20);
        EXPECT_EQ(p.shardIndex, static_cast<int>(i));  // data shards first, then parity
        packets.push_back(p);
    }
    const Frame frame = assemble(packets);
    ASSERT_TRUE(frame.au);
    EXPECT_EQ(*frame.au, au);
    EXPECT_DOUBLE_EQ(frame.hostMs, 3.3);  // 0.1 ms units, rounded
    EXPECT_EQ(frame.frameType, 2);

    // The next frame goes on with the sequence and packet index; a non-key frame says so.
    const auto next = packetizer.packetize(accessUnit(50, 2), 8, 91500, false);
    const Parsed first = parse(next.front());
    EXPECT_EQ(first.sequence + first.streamPacketIndex, 24u);
    EXPECT_EQ(assemble({first}).frameType, 1);
}

TEST(VideoPacketizer, LargeFramesSplitIntoUpToFourBlocks) {
    // At most 5 data shards per block: 17 packets make four even blocks of 5, 4, 4, 4.
    VideoPacketizer packetizer(VideoPacketizer::Options{64, 50, 2, 5});
    const Bytes au = accessUnit(17 * 64 - 8 - 30, 3);
    const auto datagrams = packetizer.packetize(au, 100, 5, false);
    std::vector<Parsed> packets;
    std::map<int, std::pair<int, int>> shape;  // block -> (data, parity)
    for (const auto& d : datagrams) {
        packets.push_back(parse(d));
        EXPECT_EQ(packets.back().lastBlock, 3);
        shape[packets.back().block] = {packets.back().dataShards, packets.back().parityShards};
    }
    EXPECT_EQ(shape, (std::map<int, std::pair<int, int>>{{0, {5, 3}}, {1, {4, 2}}, {2, {4, 2}}, {3, {4, 2}}}));
    EXPECT_EQ(datagrams.size(), 17u + 9u);
    const Frame frame = assemble(packets);
    ASSERT_TRUE(frame.au);
    EXPECT_EQ(*frame.au, au);

    // Past four full blocks the frame still goes out, in four blocks without parity; past 4 x 1023 packets
    // it cannot be sent at all.
    const auto bare = packetizer.planBlocks(21);
    ASSERT_EQ(bare.size(), 4u);
    for (const auto& b : bare) EXPECT_EQ(b.parityShards, 0);
    EXPECT_TRUE(packetizer.planBlocks(4093).empty());
    EXPECT_THROW(packetizer.packetize(Bytes(4093 * 64, 1), 1, 1, false), Error);
}

TEST(VideoPacketizer, SmallBlocksStillGetTheMinimumParity) {
    VideoPacketizer packetizer(VideoPacketizer::Options{1392, 20, 2, 0});
    // One packet: 20 % of 1 rounds up to 1, so the percent sent is raised until the receiver reads 2.
    const auto one = packetizer.packetize(accessUnit(100, 4), 1, 1, true);
    ASSERT_EQ(one.size(), 3u);
    EXPECT_EQ(parse(one[0]).parityShards, 2);
    // A block never exceeds the code's 255 shards.
    for (std::size_t packets : {1u, 50u, 211u, 212u, 213u, 500u, 848u, 849u})
        for (const auto& b : packetizer.planBlocks(packets)) {
            EXPECT_LE(b.dataShards + b.parityShards, 255) << packets;
            EXPECT_EQ(b.parityShards, (b.parityPercent * b.dataShards + 99) / 100);
        }
}

// Rebuilds the lost data shards of a block with the library's matrix inversion: the survivors' rows of the
// systematic Cauchy generator [I; P], inverted, times the surviving shards. Equal shards prove the parity.
TEST(VideoPacketizer, LostDataShardsAreRebuiltFromTheSurvivors) {
    VideoPacketizer packetizer(VideoPacketizer::Options{300, 40, 2, 0});
    const auto datagrams = packetizer.packetize(accessUnit(5000, 6), 3, 3, true);
    std::vector<Parsed> block;
    for (const auto& d : datagrams) block.push_back(parse(d));
    const int k = block.front().dataShards, m = block.front().parityShards;
    ASSERT_EQ(m, 7);  // 40 % of 17
    const std::size_t len = block.front().shard.size();
    std::vector<unsigned char> generator(static_cast<std::size_t>((k + m) * k), 0);
    for (int j = 0; j < k; ++j) generator[static_cast<std::size_t>(j * k + j)] = 1;
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < k; ++j) generator[static_cast<std::size_t>((k + i) * k + j)] = gf_inv(static_cast<unsigned char>((j + m) ^ i));

    for (const std::vector<int>& lost : std::vector<std::vector<int>>{{0}, {k - 1}, {1, 3, 5, 7, 9, 11}, {0, 1, 2, 3, 4, 5, 6}}) {
        std::vector<int> survivors;
        for (int s = 0; static_cast<int>(survivors.size()) < k; ++s)
            if (std::find(lost.begin(), lost.end(), s) == lost.end()) survivors.push_back(s);
        std::vector<unsigned char> sub(static_cast<std::size_t>(k * k)), inverse(sub.size()), rows;
        std::vector<unsigned char*> in, out;
        for (int r = 0; r < k; ++r) {
            const auto survivor = static_cast<std::size_t>(survivors[static_cast<std::size_t>(r)]);
            std::copy_n(&generator[survivor * static_cast<std::size_t>(k)], k, &sub[static_cast<std::size_t>(r * k)]);
            in.push_back(const_cast<unsigned char*>(block[survivor].shard.data()));
        }
        ASSERT_EQ(gf_invert_matrix(sub.data(), inverse.data(), k), 0);
        for (int l : lost) rows.insert(rows.end(), inverse.begin() + l * k, inverse.begin() + (l + 1) * k);
        const int count = static_cast<int>(lost.size());
        std::vector<unsigned char> tables(static_cast<std::size_t>(32 * k * count));
        ec_init_tables(k, count, rows.data(), tables.data());
        std::vector<Bytes> rebuilt(lost.size(), Bytes(len));
        for (auto& r : rebuilt) out.push_back(r.data());
        ec_encode_data(static_cast<int>(len), k, count, tables.data(), in.data(), out.data());
        for (std::size_t i = 0; i < lost.size(); ++i) {
            // Everything from the payload on is exact; the shard header is not kept by a receiver.
            const Bytes& original = block[static_cast<std::size_t>(lost[i])].shard;
            EXPECT_TRUE(std::equal(original.begin() + 16, original.end(), rebuilt[i].begin() + 16)) << "shard " << lost[i];
        }
    }
}

TEST(VideoPacketizer, RefusesOptionsItCannotSend) {
    const std::pair<int, int> bad[] = {{0, 20}, {70000, 20}, {1392, 256}, {1392, -1}};
    for (const auto& [size, percent] : bad)
        EXPECT_THROW(VideoPacketizer(size, percent), Error) << size << " " << percent;
    EXPECT_THROW(VideoPacketizer(1392, 20).packetize(Bytes{}, 1, 1, true), Error);
}

} // namespace
} // namespace corvane::boxsim
