#include "engine/video/FrameAssembler.hpp"
#include <algorithm>
#include <numeric>
#include <string>
#include <gtest/gtest.h>
#include "boxsim/media/VideoPacketizer.hpp"
#include "tests/support/EngineLogCapture.hpp"

namespace corvane::stream {
namespace {

using Indexes = std::vector<std::uint32_t>;
using Options = boxsim::VideoPacketizer::Options;

void putLE32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t fecInfo(int data, int index, int percent) { return std::uint32_t(data) << 22 | std::uint32_t(index) << 12 | std::uint32_t(percent) << 4; }

// A 32-byte video datagram header followed by `payload`.
Bytes datagram(std::uint32_t frame, std::uint8_t blocks, std::uint32_t fec, const Bytes& payload) {
    Bytes out(32, 0);
    out[0] = 0x90;
    putLE32(&out[20], frame);
    out[27] = blocks;
    putLE32(&out[28], fec);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// The access unit of frame `index`: parameter sets for a keyframe, one slice whose bytes depend on the
// index so mix-ups show, never zero so no stray start code appears.
Bytes unitOf(std::uint32_t index, bool key, std::size_t bytes = 900) {
    Bytes unit{0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1F, 0, 0, 0, 1, 0x68, 0xCE};
    if (!key) unit.clear();
    unit.insert(unit.end(), {0, 0, 0, 1, static_cast<std::uint8_t>(key ? 0x65 : 0x41)});
    for (std::size_t i = 0; i < bytes; ++i) unit.push_back(static_cast<std::uint8_t>((i * 131 + index * 7) % 255 + 1));
    return unit;
}

// A frame as the simulated box sends it: 256-byte payloads, 50 % parity, blocks of at most 16 data shards.
struct Frame {
    struct Block {
        int data = 0;
        std::vector<Bytes> datagrams;  // data shards, then parity
        std::vector<Bytes> dataOnly() const { return {datagrams.begin(), datagrams.begin() + data}; }
    };
    std::vector<Bytes> all;
    std::vector<Block> blocks;
    std::vector<Bytes> dataOnly() const {
        std::vector<Bytes> out;
        for (const auto& block : blocks) for (auto& d : block.dataOnly()) out.push_back(d);
        return out;
    }
};

Frame cut(std::uint32_t index, bool key, std::size_t bytes = 900, Options options = {256, 50, 0, 16}, double hostMs = 0) {
    Frame frame;
    frame.all = boxsim::VideoPacketizer(options).packetize(unitOf(index, key, bytes), index, index * 1500, key, hostMs);
    for (const Bytes& d : frame.all) {
        const auto b = static_cast<std::size_t>((d[27] >> 4) & 3);
        if (frame.blocks.size() <= b) frame.blocks.resize(b + 1);
        frame.blocks[b].data = (d[31] << 2) | (d[30] >> 6);
        frame.blocks[b].datagrams.push_back(d);
    }
    return frame;
}

class FrameAssemblerTest : public ::testing::Test {
protected:
    void SetUp() override {
        assembler.onFrame = [this](VideoFrame frame) { frames.push_back(std::move(frame)); };
        assembler.onNeedKeyframe = [this](std::uint32_t index) { keyframeRequests.push_back(index); };
        assembler.now = [this] { return clock; };
    }
    void feed(const std::vector<Bytes>& datagrams) { for (const auto& d : datagrams) assembler.add(d); }
    void feedFrame(std::uint32_t index, bool key) { feed(cut(index, key).dataOnly()); }
    Indexes delivered() const {
        Indexes out;
        for (const auto& frame : frames) out.push_back(frame.index);
        return out;
    }
    void expectEmpty() const { EXPECT_EQ(std::pair(assembler.pendingCount(), assembler.bufferedBytes()), std::pair(0ul, 0ul)); }
    corvane::test::EngineLogCapture log;
    FrameAssembler assembler{StreamConfig::Codec::h264};
    std::vector<VideoFrame> frames;
    Indexes keyframeRequests;
    double clock = 100;
};

TEST_F(FrameAssemblerTest, DeliversWholeFramesInOrderWithTheirTiming) {
    const auto key = cut(7, true, 5000, {256, 50, 0, 8}, 12.3);
    ASSERT_EQ(key.blocks.size(), 3u);
    auto datagrams = key.dataOnly();
    feedFrame(6, false); // a non-key frame before the first keyframe is skipped, and asks for one
    clock = 1.5;
    assembler.add(datagrams.front());
    clock = 2.5;
    feed({datagrams.begin() + 1, datagrams.end()});
    feedFrame(8, false);
    ASSERT_EQ(delivered(), (Indexes{7, 8}));
    EXPECT_EQ(frames[0], (VideoFrame{7, 7 * 1500, unitOf(7, true, 5000), true, 1.5, 2.5, 0, 12.3}));
    EXPECT_EQ(frames[1].data, unitOf(8, false));
    EXPECT_FALSE(frames[1].isKeyframe);
    EXPECT_EQ(assembler.stats(), (FrameAssembler::Stats{.framesDelivered = 2, .framesSkippedWaitingForKeyframe = 1}));
    expectEmpty();
    EXPECT_EQ(keyframeRequests, Indexes{6});
}

TEST_F(FrameAssemblerTest, RebuildsLostShardsInEveryBlockAndCountsDuplicatesAndLateOnes) {
    const auto frame = cut(1, true, 3000, {256, 60, 0, 5}); // 5 data, 3 parity per block
    ASSERT_GE(frame.blocks.size(), 3u);
    // Block 0 loses three data shards; block 1 arrives parity first, all reversed; block 2 is whole and its
    // first packet comes twice.
    const auto& first = frame.blocks[0].datagrams;
    feed({first.begin() + 3, first.end()});
    auto second = frame.blocks[1].datagrams;
    std::reverse(second.begin(), second.end());
    const auto third = frame.blocks[2].dataOnly();
    assembler.add(third[0]);
    feed(third);
    EXPECT_TRUE(frames.empty()); // every announced block is needed
    feed(second); // complete after five of them, the rest are late
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, unitOf(1, true, 3000));
    EXPECT_EQ(frames[0].recoveredPackets, 3 + 3);
    EXPECT_EQ(assembler.stats().packetsRecovered, 6);
    EXPECT_EQ(assembler.stats().packetsDuplicate, 1);
    EXPECT_EQ(assembler.stats().packetsLate, 3);
}

TEST_F(FrameAssemblerTest, RepeatedOrRefusedPacketsAnnounceNoBlocks) {
    const auto data = cut(3, true).dataOnly();
    ASSERT_EQ(data.size(), 4u);
    assembler.add(data[0]);
    Bytes repeated = data[0];
    repeated[27] = 0x40; // damaged: claims a second block
    assembler.add(repeated);
    Bytes refused = data[1]; // usable on its own, but beyond the block's six slots
    putLE32(&refused[28], fecInfo(16, 10, 50));
    refused[27] = 0xC0;
    assembler.add(refused);
    feed({data[1], data[2], data[3]});
    EXPECT_EQ(delivered(), Indexes{3});
    EXPECT_EQ(assembler.stats().packetsDuplicate, 1);
    EXPECT_EQ(assembler.stats().packetsBad, 1);
}

TEST_F(FrameAssemblerTest, AStartCodeWithNothingBehindItIsNoFrame) {
    feedFrame(1, true);
    // Without a frame header, then behind one: start codes followed only by padding.
    assembler.add(datagram(2, 0, fecInfo(1, 0, 0), {0, 0, 1, 0, 0}));
    assembler.add(datagram(3, 0, fecInfo(1, 0, 0), {1, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 1, 0, 0}));
    feedFrame(4, true);
    EXPECT_EQ(delivered(), (Indexes{1, 4}));
    EXPECT_EQ(assembler.stats().framesLost, 2);
}

TEST_F(FrameAssemblerTest, ShortLastShardIsPaddedForRecovery) {
    // Frame 4 loses three shards, the short one present counts as padded; frame 5 loses the short shard
    // (rebuilt at full length, the header's length cuts it); frame 6 loses the first, and its short shard is
    // padded where frame 4's rebuilt bytes were.
    for (const auto& [index, lost] : {std::pair{4u, std::vector<int>{0, 1, 2}}, {5u, {-1}}, {6u, {0}}}) {
        const auto block = cut(index, true, 1000).blocks[0];
        ASSERT_EQ(block.data, 5);
        auto shards = block.datagrams;
        auto& last = shards[4];
        while (last.back() == 0) last.pop_back(); // the last data shard only as long as its bytes
        ASSERT_LT(last.size(), shards[0].size());
        for (auto at = lost.rbegin(); at != lost.rend(); ++at) shards.erase(shards.begin() + (*at < 0 ? 4 : *at));
        feed(shards);
        ASSERT_EQ(frames.size(), index - 3u);
        EXPECT_EQ(frames.back().data, unitOf(index, true, 1000)) << index;
    }
}

TEST_F(FrameAssemblerTest, MissingAndOvertakenFramesDoNotStallDelivery) {
    feedFrame(0, true);
    feedFrame(2, false); // nothing of frame 1 ever arrives; 2 is skipped
    feedFrame(3, true);
    EXPECT_EQ(delivered(), (Indexes{0, 3}));
    // A silence: 40 frames missing in one run, one request for them.
    feedFrame(44, true);
    EXPECT_EQ(assembler.stats().framesLost, 41);
    EXPECT_EQ(keyframeRequests, (Indexes{1, 2, 4}));
    // Frame 46 overtakes the end of 45: 45 is lost, its last packet late.
    const auto next = cut(45, false).dataOnly();
    const auto after = cut(46, true).dataOnly();
    assembler.add(next[0]);
    assembler.add(after[0]);
    assembler.add(next[1]);
    feed({after.begin() + 1, after.end()});
    EXPECT_EQ(delivered(), (Indexes{0, 3, 44, 46}));
    EXPECT_EQ(assembler.stats().packetsLate, 1);
    EXPECT_EQ(assembler.next(), 47u);
    expectEmpty();
}

// Datagrams of another stream (an earlier session's, still in flight) mixed into the session's: whole frames
// ('a'), their first datagram ('f'), the rest of them ('r'), their last parity datagram ('p') or all with
// parity ('A'). An earlier stream's frames are cut from another picture, so one of them delivered, or mixed
// into the new stream's, shows. A complete keyframe is delivered at once whatever its number, though nothing
// follows it (a still screen), and a new stream numbered from 0 takes over from an earlier one's.
TEST_F(FrameAssemblerTest, OnlyTheSessionsOwnSequenceIsFollowed) {
    struct Step {
        std::uint32_t index;
        bool key;
        char part;
        bool earlier = false;
    };
    // Frames `from` to `to` after `before`, keyframes at `keys`.
    auto run = [](std::uint32_t from, std::uint32_t to, Indexes keys, std::vector<Step> before) {
        for (std::uint32_t i = from; i <= to; ++i) before.push_back({i, std::count(keys.begin(), keys.end(), i) > 0, 'a'});
        return before;
    };
    const std::uint32_t top = 0xFFFFFFFFu;
    struct Row {
        std::string name;
        std::vector<Step> steps;
        Indexes delivered, requests;
        std::int64_t bad, late = 0;
    };
    std::vector<Row> rows = {
        {"strays before the first frame", {{201, 0, 'f'}, {202, 0, 'a'}, {0, 1, 'a'}, {1, 0, 'a'}, {2, 0, 'a'}},
         {0, 1, 2}, {201, 202}, 0},
        {"strays interleaved with the first frame",
         {{201, 0, 'f'}, {0, 1, 'f'}, {201, 0, 'r'}, {0, 1, 'r'}, {1, 0, 'a'}}, {0, 1}, {201}, 0},
        {"strays after it, a keyframe among them", {{0, 1, 'a'}, {5000, 1, 'a'}, {1, 0, 'f'}, {5001, 0, 'f'},
         {1, 0, 'r'}, {5002, 0, 'a'}, {0x90000000u, 0, 'a'}, {2, 0, 'a'}}, {0, 1, 2}, {}, 13},
        {"across the wrap", {{top - 1, 1, 'a'}, {top, 0, 'a'}, {0x7FFFFFFF, 1, 'f'}, {0, 0, 'a'}, {top - 256, 0, 'f'},
         {1, 0, 'a'}}, {top - 1, top, 0, 1}, {}, 2},
        {"a jump followed at the first keyframe after three frames", {{10, 1, 'a'}, {11, 0, 'f'}, {5000, 1, 'a'},
         {5001, 0, 'a'}, {5002, 0, 'a'}, {5003, 1, 'a'}, {5004, 0, 'a'}}, {10, 5003, 5004}, {5002, 5002}, 8},
        {"while waiting every frame asks", {{0, 1, 'a'}, {1, 0, 'f'}, {2, 0, 'a'}, {3, 0, 'a'}, {4, 1, 'a'}},
         {0, 4}, {1, 2, 3}, 0},
        {"a first keyframe numbered 1, nothing after it", {{1, 1, 'a'}}, {1}, {}, 0},
        {"keyframe 0 beyond repair, then the one asked for", {{0, 1, 'f'}, {1, 0, 'f'}, {2, 0, 'a'}, {3, 1, 'a'}}, {3},
         {0, 1, 2}, 0},
        {"a skipped frame's last parity after the first keyframe",
         {{0, 1, 'f'}, {1, 0, 'a'}, {2, 1, 'a'}, {1, 0, 'p'}, {3, 0, 'a'}, {4, 0, 'a'}}, {2, 3, 4}, {0, 1}, 0, 1},
        {"the first keyframe's own parity after it", {{5, 1, 'A'}, {6, 0, 'a'}}, {5, 6}, {}, 0, 2},
        {"once its stream went on, a packet below it is late", {{1, 1, 'a'}, {2, 0, 'a'}, {0, 1, 'f'}}, {1, 2}, {}, 0, 1},
        {"before any keyframe, late packets ask for one", {{0, 1, 'f'}, {1, 0, 'a'}, {0, 1, 'r'}}, {}, {0, 1, 0, 0, 0}, 0, 3},
        {"an earlier keyframe completing amid the new one", run(1, 17, {16}, {{0, 1, 'f'}, {13, 1, 'a', true}, {0, 1, 'r'}}),
         {13, 16, 17}, {0, 1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, 0},
    };
    for (const char part : {'a', 'f'})
        for (const auto& [index, key] : {std::pair{1u, false}, {30u, false}, {63u, false}, {200u, false}, {13u, true}, {600u, true}}) {
            Row row{"stray " + std::to_string(index) + (key ? " key " : " ") + part, run(0, 15, {0}, {{index, key, part, true}}),
                    Indexes(16), part == 'a' && !key ? Indexes{index} : Indexes{}, 0};
            std::iota(row.delivered.begin(), row.delivered.end(), 0u);
            if (key && part == 'a') row.delivered.insert(row.delivered.begin(), index);
            rows.push_back(row);
        }
    for (const auto& row : rows) {
        FrameAssembler fresh{StreamConfig::Codec::h264};
        fresh.onFrame = [this](VideoFrame frame) { frames.push_back(std::move(frame)); };
        fresh.onNeedKeyframe = [this](std::uint32_t index) { keyframeRequests.push_back(index); };
        frames.clear();
        keyframeRequests.clear();
        for (const Step& step : row.steps) {
            const auto frame = cut(step.index, step.key, step.earlier ? 1500 : 900);
            const auto data = step.part == 'A' ? frame.all : step.part == 'p' ? std::vector<Bytes>{frame.all.back()} : frame.dataOnly();
            for (std::size_t i = step.part == 'r' ? 1 : 0; i < (step.part == 'f' ? 1 : data.size()); ++i)
                fresh.add(data[i]);
        }
        EXPECT_EQ(delivered(), row.delivered) << row.name;
        EXPECT_EQ(keyframeRequests, row.requests) << row.name;
        EXPECT_EQ(fresh.stats().packetsBad, row.bad) << row.name;
        EXPECT_EQ(fresh.stats().packetsLate, row.late) << row.name;
        for (const auto& frame : frames)
            EXPECT_TRUE(std::any_of(row.steps.begin(), row.steps.end(), [&](const Step& step) {
                return step.index == frame.index && frame.data == unitOf(step.index, step.key, step.earlier ? 1500 : 900);
            })) << row.name << ": frame " << frame.index;
    }
    EXPECT_EQ(log.matching("video: frame index jumped from 11 to 5002; starting over at the next keyframe").size(), 1u);
}

// A frame of which nothing more comes, with nothing after it (a still screen), is lost once expire(), run
// every 25 ms as the media thread runs it, has seen no packet of its stream for a tenth of a second, or at its
// first quiet call once the frame's last datagram came; a keyframe is asked for as a later packet would have.
// Each step: at `ms`, datagrams `from` to `to` of a frame (data shards, then parity; 99: the last).
TEST_F(FrameAssemblerTest, AFrameThatStopsArrivingIsLostAfterATenthOfASecond) {
    struct Step { int ms; std::uint32_t index; bool key; std::size_t from = 0, to = 99; bool earlier = false; };
    struct Row { std::string name; std::vector<Step> steps; Indexes delivered, requests; int askedAt = -1; };
    const std::vector<Row> rows = {
        {"the last frame stops", {{0, 0, 1}, {1000, 1, 0, 0, 0}}, {0}, {1}, 1100},
        {"its last datagram came", {{0, 0, 1}, {1000, 1, 0, 0, 0}, {1000, 1, 0, 99, 99}}, {0}, {1}, 1025},
        {"it completes in time", {{0, 0, 1}, {1000, 1, 0, 0, 0}, {1090, 1, 0, 1}}, {0, 1}, {}},
        {"timed from its latest packet", {{0, 0, 1}, {1000, 1, 0, 0, 0}, {1090, 1, 0, 1, 1}, {1180, 1, 0, 2}}, {0, 1}, {}},
        {"a first keyframe cut short, then the one asked for", {{0, 1, 1, 0, 0}, {500, 2, 1}}, {2}, {1}, 100},
        {"another stream's frame after the picture", {{0, 0, 1}, {10, 600, 0, 0, 0, true}}, {0}, {}},
    };
    for (const auto& row : rows) {
        FrameAssembler fresh{StreamConfig::Codec::h264};
        fresh.onFrame = [this](VideoFrame frame) { frames.push_back(std::move(frame)); };
        fresh.onNeedKeyframe = [this](std::uint32_t index) { keyframeRequests.push_back(index); };
        fresh.now = [this] { return clock; };
        frames.clear();
        keyframeRequests.clear();
        int askedAt = -1;
        auto step = row.steps.begin();
        for (int ms = 0; ms <= row.steps.back().ms + 500; ms += 25) {
            clock = ms / 1000.0;
            for (; step != row.steps.end() && step->ms <= ms; ++step) {
                const auto all = cut(step->index, step->key, step->earlier ? 1500 : 900).all;
                for (std::size_t i = std::min(step->from, all.size() - 1); i <= std::min(step->to, all.size() - 1); ++i)
                    fresh.add(all[i]);
            }
            fresh.expire();
            if (askedAt < 0 && !keyframeRequests.empty()) askedAt = ms;
        }
        EXPECT_EQ(askedAt, row.askedAt) << row.name;
        EXPECT_EQ(delivered(), row.delivered) << row.name;
        EXPECT_EQ(keyframeRequests, row.requests) << row.name;
        EXPECT_EQ(fresh.stats().framesLost, std::int64_t(row.requests.size())) << row.name;
        EXPECT_EQ(std::pair(fresh.pendingCount(), fresh.bufferedBytes()), std::pair(0ul, 0ul)) << row.name;
    }
    EXPECT_EQ(log.matching("video: frame 1 lost; waiting for a keyframe").size(), 2u);
}

TEST_F(FrameAssemblerTest, BadInputIsCountedAndLosesNothingElse) {
    feedFrame(0, true);
    const auto rest = cut(1, false).dataOnly();
    auto withFec = [&](std::uint32_t fec) {
        Bytes d = rest[0];
        putLE32(&d[28], fec);
        return d;
    };
    for (const Bytes& bad : {Bytes(rest[0].begin(), rest[0].begin() + 32), withFec(fecInfo(0, 0, 50)),
             withFec(fecInfo(4, 6, 50)), Bytes(FrameAssembler::maxDatagramBytes + 1, 0)})
        assembler.add(bad);
    EXPECT_EQ(assembler.stats().packetsBad, 4);
    assembler.add(rest[0]);
    assembler.add(withFec(fecInfo(8, 9, 50))); // a slot its block has not got
    EXPECT_EQ(assembler.stats().packetsBad, 5);
    feed(rest);
    EXPECT_EQ(delivered(), (Indexes{0, 1}));
    // A complete frame whose payload holds no access unit is bad and lost.
    assembler.add(datagram(2, 0, fecInfo(1, 0, 0), Bytes(300, 0x42)));
    feedFrame(3, true);
    EXPECT_EQ(assembler.stats().packetsBad, 6);
    EXPECT_EQ(assembler.stats().framesLost, 1);
    EXPECT_EQ(keyframeRequests, (Indexes{2}));
    EXPECT_EQ(delivered(), (Indexes{0, 1, 3}));
    // Parsed packets go the same way; one shorter than any video datagram is bad.
    VideoPacket handMade;
    handMade.fecInfo = fecInfo(1, 0, 0);
    handMade.datagram = Bytes(20, 0);
    assembler.add(handMade);
    EXPECT_EQ(assembler.stats().packetsBad, 7);
    for (const auto& d : cut(4, false).dataOnly()) assembler.add(*VideoPacket::parse(d));
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames.back().data, unitOf(4, false));
}

TEST_F(FrameAssemblerTest, BufferedBytesAreCapped) {
    // One frame of two huge blocks of the largest datagrams: the shards beyond the cap are refused.
    for (int block = 0; block < 2; ++block)
        for (int i = 0; i < 600; ++i) {
            Bytes d = datagram(0, static_cast<std::uint8_t>(1 << 6 | block << 4), fecInfo(1000, i, 0),
                Bytes(FrameAssembler::maxDatagramBytes - 32, 0x11));
            assembler.add(d);
            ASSERT_LE(assembler.bufferedBytes(), FrameAssembler::maxBufferedBytes);
        }
    const auto fit = static_cast<std::int64_t>(FrameAssembler::maxBufferedBytes / (FrameAssembler::maxDatagramBytes - 16));
    EXPECT_EQ(assembler.stats().packetsBad, 1200 - fit);
    feedFrame(1, true); // the next frame frees them all
    EXPECT_EQ(delivered(), (Indexes{1}));
    EXPECT_EQ(assembler.bufferedBytes(), 0u);
}

} // namespace
} // namespace corvane::stream
