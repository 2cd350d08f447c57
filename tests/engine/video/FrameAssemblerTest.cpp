#include "engine/video/FrameAssembler.hpp"

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/engine/video/LogLines.hpp"
#include "tests/engine/video/VideoPacketsForTest.hpp"

namespace corvane::stream {
namespace {

using Codec = StreamConfig::Codec;
using Indexes = std::vector<std::uint32_t>;

// The access unit of frame `index`: parameter sets for a keyframe, one slice whose bytes depend on the
// index so mix-ups show, never zero so no stray start code appears.
Bytes unitOf(std::uint32_t index, bool key, std::size_t bytes = 900)
{
    Bytes unit{0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1F, 0, 0, 0, 1, 0x68, 0xCE};
    if (!key) unit.clear();
    unit.insert(unit.end(), {0, 0, 0, 1, static_cast<std::uint8_t>(key ? 0x65 : 0x41)});
    for (std::size_t i = 0; i < bytes; ++i) unit.push_back(static_cast<std::uint8_t>((i * 131 + index * 7) % 255 + 1));
    return unit;
}

test::PacketisedFrame packets(std::uint32_t index, bool key, test::PacketiserOptions options = {}, std::size_t bytes = 900)
{
    return test::packetise(index, index * 1500, unitOf(index, key, bytes), options);
}

std::vector<Bytes> dataOf(const test::PacketisedFrame::Block& block)
{
    return {block.datagrams.begin(), block.datagrams.begin() + block.data};
}

class FrameAssemblerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        assembler.onFrame = [this](VideoFrame frame) { frames.push_back(std::move(frame)); };
        assembler.onNeedKeyframe = [this](std::uint32_t index) { keyframeRequests.push_back(index); };
        assembler.now = [this] { return clock; };
    }
    void feed(const std::vector<Bytes>& datagrams)
    {
        for (const auto& datagram : datagrams) assembler.add(datagram);
    }
    void feedFrame(std::uint32_t index, bool key) { feed(packets(index, key).dataOnly()); }
    Indexes delivered() const
    {
        Indexes out;
        for (const auto& frame : frames) out.push_back(frame.index);
        return out;
    }
    void expectEmpty() const { EXPECT_TRUE(assembler.pendingCount() == 0 && assembler.bufferedBytes() == 0); }

    test::LogLines log;
    FrameAssembler assembler{Codec::h264};
    std::vector<VideoFrame> frames;
    Indexes keyframeRequests;
    double clock = 100;
};

TEST_F(FrameAssemblerTest, DeliversWholeFramesInOrderWithTheirTiming)
{
    test::PacketiserOptions options;
    options.maxDataShardsPerBlock = 8;
    options.hostProcessingTenths = 123;
    const auto key = packets(7, true, options, 5000);
    ASSERT_EQ(key.blocks.size(), 3u);
    auto datagrams = key.dataOnly();
    // A non-key frame before the first keyframe is skipped.
    feedFrame(6, false);
    clock = 1.5;
    assembler.add(datagrams.front());
    clock = 2.5;
    feed(std::vector<Bytes>(datagrams.begin() + 1, datagrams.end()));
    feedFrame(8, false);

    ASSERT_EQ(delivered(), (Indexes{7, 8}));
    const VideoFrame& first = frames[0];
    EXPECT_EQ(first.data, unitOf(7, true, 5000));
    EXPECT_EQ(first.rtpTimestamp, 7u * 1500);
    EXPECT_DOUBLE_EQ(first.firstPacketAt, 1.5);
    EXPECT_DOUBLE_EQ(first.completedAt, 2.5);
    EXPECT_DOUBLE_EQ(first.hostProcessingMs, 12.3);
    EXPECT_EQ(frames[1].data, unitOf(8, false));
    EXPECT_TRUE(first.isKeyframe && !frames[1].isKeyframe);
    EXPECT_EQ(assembler.stats(), (FrameAssembler::Stats{.framesDelivered = 2, .framesSkippedWaitingForKeyframe = 1}));
    expectEmpty();
    EXPECT_TRUE(keyframeRequests.empty());
}

TEST_F(FrameAssemblerTest, RebuildsLostShardsInEveryBlockAndCountsDuplicatesAndLateOnes)
{
    test::PacketiserOptions options;
    options.maxDataShardsPerBlock = 5;
    options.parityPercent = 60; // 5 data -> 3 parity
    const auto frame = packets(1, true, options, 3000);
    ASSERT_GE(frame.blocks.size(), 3u);
    // Block 0 loses three data shards; block 1 arrives parity first, all reversed; block 2 is whole and
    // its first packet comes twice.
    auto first = frame.blocks[0].datagrams;
    feed(std::vector<Bytes>(first.begin() + 3, first.end()));
    auto second = frame.blocks[1].datagrams;
    std::reverse(second.begin(), second.end());
    const auto third = dataOf(frame.blocks[2]);
    assembler.add(third[0]);
    feed(third);
    EXPECT_TRUE(frames.empty()); // every announced block is needed
    feed(second); // the frame completes after five of them, the rest are late
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, unitOf(1, true, 3000));
    const auto stats = assembler.stats();
    EXPECT_EQ(frames[0].recoveredPackets, 3 + frame.blocks[1].parity);
    EXPECT_EQ(stats.packetsRecovered, frames[0].recoveredPackets);
    EXPECT_EQ(stats.packetsDuplicate, 1);
    EXPECT_EQ(stats.packetsLate, frame.blocks[1].parity);
    // A packet of a frame before the first one seen is late too.
    assembler.add(packets(0, true).dataOnly()[0]);
    EXPECT_EQ(assembler.stats().packetsLate, stats.packetsLate + 1);
}

TEST_F(FrameAssemblerTest, RepeatedOrRefusedPacketsAnnounceNoBlocks)
{
    const auto data = packets(3, true).dataOnly();
    ASSERT_EQ(data.size(), 4u);
    assembler.add(data[0]);
    Bytes repeated = data[0];
    repeated[27] = 0x40; // damaged: claims a second block
    assembler.add(repeated);
    Bytes refused = data[1]; // usable on its own, but beyond the block's six slots
    test::putLE32(&refused[28], test::fecInfoFor(16, 10, 50));
    refused[27] = 0xC0;
    assembler.add(refused);
    feed({data[1], data[2], data[3]});
    EXPECT_EQ(delivered(), Indexes{3});
    EXPECT_EQ(assembler.stats().packetsDuplicate, 1);
    EXPECT_EQ(assembler.stats().packetsBad, 1);
}

TEST_F(FrameAssemblerTest, AStartCodeWithNothingBehindItIsNoFrame)
{
    feedFrame(1, true);
    // Without a frame header, then behind one: start codes followed only by padding.
    Bytes bare = test::videoHeader(0, 0, 0, 2, 0x00, test::fecInfoFor(1, 0, 0));
    bare.insert(bare.end(), {0, 0, 1, 0, 0});
    assembler.add(bare);
    Bytes behindHeader = test::videoHeader(0, 0, 0, 3, 0x00, test::fecInfoFor(1, 0, 0));
    behindHeader.insert(behindHeader.end(), {1, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 1, 0, 0});
    assembler.add(behindHeader);
    feedFrame(4, true);
    EXPECT_EQ(delivered(), (Indexes{1, 4}));
    EXPECT_EQ(assembler.stats().framesLost, 2);
}

TEST_F(FrameAssemblerTest, ShortLastShardIsPaddedForRecovery)
{
    test::PacketiserOptions options;
    options.padLastShard = false;
    for (std::uint32_t index : {5u, 6u}) {
        const Bytes unit = unitOf(index, index == 5, 1000);
        const auto frame = test::packetise(index, 0, unit, options);
        const auto& block = frame.blocks[0];
        ASSERT_LT(block.datagrams[static_cast<std::size_t>(block.data - 1)].size(), block.datagrams[0].size());
        // Frame 5 loses the short last shard (rebuilt at full length, the header's length cuts it); frame 6
        // loses the first and the short one present is padded to the others' length.
        auto shards = block.datagrams;
        shards.erase(shards.begin() + (index == 5 ? block.data - 1 : 0));
        feed(shards);
        ASSERT_EQ(frames.size(), index - 4u);
        EXPECT_EQ(frames.back().data, unit);
    }
}

TEST_F(FrameAssemblerTest, LossBeyondParityAsksForAKeyframeAndRecoversAtIt)
{
    feedFrame(0, true);
    auto shards = packets(1, false).blocks[0].datagrams; // 4 data and 2 parity, three data lost
    feed(std::vector<Bytes>(shards.begin() + 3, shards.end()));
    EXPECT_EQ(frames.size(), 1u);
    feedFrame(2, false); // its first packet settles frame 1 as lost
    EXPECT_EQ(keyframeRequests, (Indexes{1}));
    EXPECT_TRUE(assembler.waitingForKeyframe());

    // A second loss while still waiting asks again but logs nothing new.
    feed({packets(3, false).dataOnly()[0]});
    feedFrame(4, false);
    EXPECT_EQ(keyframeRequests, (Indexes{1, 3}));
    EXPECT_EQ(log.matching("lost; waiting for a keyframe"), std::vector<std::string>{"video: frame 1 lost; waiting for a keyframe"});

    feedFrame(5, true);
    feedFrame(6, false);
    EXPECT_EQ(delivered(), (Indexes{0, 5, 6}));
    EXPECT_EQ(assembler.stats().framesLost, 2);
    EXPECT_EQ(assembler.stats().framesSkippedWaitingForKeyframe, 2); // frames 2 and 4
    expectEmpty();
}

TEST_F(FrameAssemblerTest, FramesWithNoPacketsAtAllDoNotStallDelivery)
{
    feedFrame(0, true);
    feedFrame(2, false); // nothing of frame 1 ever arrives
    feedFrame(3, true);
    EXPECT_EQ(delivered(), (Indexes{0, 3}));
    EXPECT_EQ(keyframeRequests, (Indexes{1}));
    // A long silence: 400 frames missing in one run, one request for them.
    feedFrame(404, true);
    EXPECT_EQ(delivered().back(), 404u);
    EXPECT_EQ(assembler.stats().framesLost, 401);
    EXPECT_EQ(keyframeRequests, (Indexes{1, 4}));
    expectEmpty();
}

TEST_F(FrameAssemblerTest, InterleavedFramesLoseTheOvertakenOneAndKeepNothingBehindNext)
{
    feedFrame(9, true);
    const auto ten = packets(10, false).dataOnly();
    const auto eleven = packets(11, true).dataOnly();
    assembler.add(ten[0]);
    assembler.add(eleven[0]); // frame 10 is incomplete: lost
    assembler.add(ten[1]);    // now late
    feed(std::vector<Bytes>(eleven.begin() + 1, eleven.end()));
    EXPECT_EQ(delivered(), (Indexes{9, 11}));
    EXPECT_EQ(assembler.stats().framesLost, 1);
    EXPECT_EQ(assembler.stats().packetsLate, 1);
    EXPECT_EQ(assembler.next(), 12u);
    expectEmpty();
}

TEST_F(FrameAssemblerTest, FrameIndexesWrapAroundAndStrayFarIndexesAreNotBelieved)
{
    for (std::uint32_t index : {0xFFFFFFFEu, 0xFFFFFFFFu, 0u}) feedFrame(index, index == 0xFFFFFFFEu);
    // Just before the wrap is now the past.
    assembler.add(packets(0xFFFFFFFFu, false).dataOnly()[0]);
    EXPECT_EQ(assembler.stats().packetsLate, 1);
    // Single packets claiming frames far ahead and far behind; each is dropped on its own.
    for (std::uint32_t far : {1'000'000u, 0x80000001u, 0xFFFF0000u}) assembler.add(packets(far, true).dataOnly()[0]);
    feedFrame(1, false);
    feedFrame(2, false);
    EXPECT_EQ(delivered(), (Indexes{0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1, 2}));
    EXPECT_EQ(assembler.stats().packetsBad, 3);
    EXPECT_EQ(assembler.stats().framesLost, 0);
    EXPECT_TRUE(keyframeRequests.empty());
}

TEST_F(FrameAssemblerTest, AConsistentFarJumpStartsOver)
{
    feedFrame(0, true);
    feedFrame(1, false);
    assembler.add(packets(2, false).dataOnly()[0]); // frame 2 pending when the numbering moves

    // The first packets of a far jump are distrusted; enough of them move the stream.
    const std::uint32_t base = 3'000'000'000u;
    auto moved = packets(base, true, {}, 2000).dataOnly();
    ASSERT_GT(moved.size(), static_cast<std::size_t>(FrameAssembler::resyncPackets));
    feed(moved);
    EXPECT_EQ(assembler.stats().packetsBad, FrameAssembler::resyncPackets - 1);
    EXPECT_EQ(keyframeRequests, (Indexes{base}));
    EXPECT_EQ(log.matching("video: frame index jumped from 2 to 3000000000").size(), 1u);

    // That frame lost its first packets: lost when the next arrives; the next keyframe plays.
    for (std::uint32_t i = 1; i <= 3; ++i) feedFrame(base + i, i == 2);
    EXPECT_EQ(delivered(), (Indexes{0, 1, base + 2, base + 3}));
    EXPECT_EQ(assembler.stats().framesLost, 2);
    expectEmpty();
}

TEST_F(FrameAssemblerTest, BadInputIsCountedAndLosesNothingElse)
{
    feedFrame(0, true);
    const auto rest = packets(1, false).dataOnly();
    auto withFec = [&](std::uint32_t fecInfo) {
        Bytes datagram = rest[0];
        test::putLE32(&datagram[28], fecInfo);
        return datagram;
    };
    assembler.add(Bytes(rest[0].begin(), rest[0].begin() + 32));
    assembler.add(withFec(test::fecInfoFor(0, 0, 50)));
    assembler.add(withFec(test::fecInfoFor(4, 6, 50)));
    assembler.add(Bytes(FrameAssembler::maxDatagramBytes + 1, 0));
    EXPECT_EQ(assembler.stats().packetsBad, 4);
    // A packet describing its existing block with more shards names a slot the block has not got.
    assembler.add(rest[0]);
    assembler.add(withFec(test::fecInfoFor(8, 9, 50)));
    EXPECT_EQ(assembler.stats().packetsBad, 5);
    feed(rest);
    EXPECT_EQ(delivered(), (Indexes{0, 1}));

    // A complete frame whose payload holds no access unit is bad and lost.
    feed(test::packetise(2, 0, Bytes(300, 0x42)).dataOnly());
    EXPECT_EQ(assembler.stats().packetsBad, 6);
    EXPECT_EQ(assembler.stats().framesLost, 1);
    EXPECT_EQ(keyframeRequests, (Indexes{2}));
    feedFrame(3, true);
    EXPECT_EQ(delivered().back(), 3u);

    // Parsed packets go the same way; one shorter than any video datagram is bad.
    VideoPacket handMade;
    handMade.fecInfo = test::fecInfoFor(1, 0, 0);
    handMade.datagram = Bytes(20, 0);
    assembler.add(handMade);
    EXPECT_EQ(assembler.stats().packetsBad, 7);
    for (const auto& datagram : packets(4, false).dataOnly()) assembler.add(*VideoPacket::parse(datagram));
    EXPECT_EQ(frames.back().data, unitOf(4, false));
}

TEST_F(FrameAssemblerTest, BlockTooLargeToRebuildWaitsForItsDataShards)
{
    // 200 data and 100 parity shards: beyond the codec, so no recovery is tried however many arrive.
    test::PacketiserOptions options;
    options.payloadBytes = 16;
    options.maxDataShardsPerBlock = 200;
    const Bytes unit = unitOf(0, true, 200 * 16 - 8 - 19 - 10);
    const auto frame = test::packetise(0, 0, unit, options);
    ASSERT_EQ(frame.blocks[0].data, 200);
    ASSERT_EQ(frame.blocks[0].parity, 100);
    auto shards = frame.blocks[0].datagrams;
    const Bytes missing = shards[5];
    shards.erase(shards.begin() + 5);
    feed(shards);
    EXPECT_TRUE(frames.empty());
    EXPECT_EQ(log.matching("too many to rebuild").size(), 1u);
    assembler.add(missing);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, unit);
    EXPECT_EQ(assembler.stats().packetsRecovered, 0);
}

TEST_F(FrameAssemblerTest, BufferedBytesAreCapped)
{
    // One frame of two huge blocks of the largest datagrams: the shards beyond the cap are refused.
    Bytes datagram = test::videoHeader(0, 0, 0, 0, 1 << 6, 0);
    datagram.resize(FrameAssembler::maxDatagramBytes, 0x11);
    for (int block = 0; block < 2; ++block) {
        datagram[27] = static_cast<std::uint8_t>(1 << 6 | block << 4);
        for (int i = 0; i < 600; ++i) {
            test::putLE32(&datagram[28], test::fecInfoFor(1000, i, 0));
            assembler.add(datagram);
            ASSERT_LE(assembler.bufferedBytes(), FrameAssembler::maxBufferedBytes);
        }
    }
    const auto fit = static_cast<std::int64_t>(FrameAssembler::maxBufferedBytes / (FrameAssembler::maxDatagramBytes - 16));
    EXPECT_EQ(assembler.stats().packetsBad, 1200 - fit);
    // The next frame frees them all.
    feedFrame(1, true);
    EXPECT_EQ(delivered(), (Indexes{1}));
    EXPECT_EQ(assembler.bufferedBytes(), 0u);
}

TEST_F(FrameAssemblerTest, CountersReadFromAnotherThreadOnlyGrow)
{
    std::atomic<bool> done = false;
    std::atomic<bool> shrank = false;
    std::thread reader([&] {
        FrameAssembler::Stats last;
        while (!done.load()) {
            const auto now = assembler.stats();
            if (now.framesDelivered < last.framesDelivered || now.packetsLate < last.packetsLate) shrank = true;
            last = now;
        }
    });
    for (std::uint32_t index = 0; index < 300; ++index) feed(packets(index, index % 30 == 0).all());
    done = true;
    reader.join();
    EXPECT_FALSE(shrank.load());
    EXPECT_EQ(assembler.stats().framesDelivered, 300);
}

// A hostile link: loss, duplicates, reordering across frames, stray indexes and junk. The assembler holds at
// most one frame, hands out only frames whose bytes are exactly what was sent, and plays again at a keyframe.
TEST_F(FrameAssemblerTest, HostileTrafficNeverCorruptsOrStalls)
{
    std::mt19937 random(2024);
    test::PacketiserOptions options;
    options.maxDataShardsPerBlock = 5;
    options.parityPercent = 40;
    std::uint32_t index = 0xFFFFFF00u;
    std::vector<Bytes> backlog;
    std::map<std::uint32_t, Bytes> sent;
    for (int round = 0; round < 400; ++round, ++index) {
        const bool key = random() % 5 == 0;
        const std::size_t bytes = 200 + random() % 3000;
        sent[index] = unitOf(index, key, bytes);
        for (auto& datagram : packets(index, key, options, bytes).all()) {
            const auto roll = random() % 100;
            if (roll < 8) continue;                    // lost
            if (roll < 12) backlog.push_back(datagram); // held back, sent later
            else assembler.add(datagram);
            if (roll >= 95) assembler.add(datagram); // duplicated
            if (roll == 50 && !backlog.empty()) {
                assembler.add(backlog.back());
                backlog.pop_back();
            }
            if (roll == 51) {
                Bytes junk(33 + random() % 200);
                for (auto& byte : junk) byte = static_cast<std::uint8_t>(random());
                assembler.add(junk);
            }
            ASSERT_LE(assembler.pendingCount(), 1u);
        }
    }
    for (const auto& frame : frames) ASSERT_EQ(frame.data, sent.at(frame.index)) << frame.index;

    const auto before = frames.size();
    feedFrame(index, true);
    feedFrame(index + 1, false);
    EXPECT_EQ(frames.size(), before + 2);
    expectEmpty();
    const auto stats = assembler.stats();
    EXPECT_GT(stats.framesLost, 0);
    EXPECT_GT(stats.packetsRecovered, 0);
    EXPECT_GT(stats.framesDelivered, 100);
}

} // namespace
} // namespace corvane::stream
