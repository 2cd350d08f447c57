#include "engine/audio/AudioReassembler.hpp"

#include <gtest/gtest.h>

#include <random>

#include "AudioTestStreams.hpp"

namespace corvane::stream {
namespace {

using test::audio::audioDatagram;
using test::audio::fecDatagram;
using Out = std::vector<std::optional<Bytes>>;

Bytes payloadOf(std::uint16_t s) { return {static_cast<std::uint8_t>(s >> 8), static_cast<std::uint8_t>(s), 0xAB}; }

class AudioReassemblerTest : public ::testing::Test {
protected:
    AudioReassemblerTest() {
        reassembler.onFrame = [this](std::optional<Bytes> payload) { out.push_back(std::move(payload)); };
    }

    void audio(std::uint16_t s) { reassembler.add(audioDatagram(s, s * 240u, payloadOf(s))); }
    void audio(std::initializer_list<int> sequences) {
        for (int s : sequences) audio(static_cast<std::uint16_t>(s));
    }
    void parity(std::uint8_t index, std::uint16_t base) {
        std::array<Bytes, 4> data;
        for (int j = 0; j < 4; ++j) data[j] = payloadOf(static_cast<std::uint16_t>(base + j));
        reassembler.add(fecDatagram(index, base, test::audio::isalParity(data)[index % 2]));
    }
    static Out played(std::initializer_list<int> sequences) {
        Out o;
        for (int s : sequences)
            o.push_back(s < 0 ? std::nullopt : std::optional(payloadOf(static_cast<std::uint16_t>(s))));
        return o;
    }

    AudioReassembler reassembler;
    Out out;
};

TEST_F(AudioReassemblerTest, ReordersDropsLateAndDuplicatesAndWraps) {
    audio({10, 12, 12});  // a duplicate while waiting is handed on once
    EXPECT_EQ(out, played({10}));
    audio({11, 9, 11});  // earlier than the first packet, or already handed on: late
    EXPECT_EQ(out, played({10, 11, 12}));
    EXPECT_EQ(reassembler.stats(), (AudioReassembler::Stats{3, 0, 0, 2}));

    AudioReassembler wrapping;
    Out got;
    wrapping.onFrame = [&](std::optional<Bytes> p) { got.push_back(std::move(p)); };
    for (int s : {65532, 65533, 65535, 0, 65534, 1, 2, 3}) wrapping.add(audioDatagram(s, 0, payloadOf(s)));
    EXPECT_EQ(got, played({65532, 65533, 65534, 65535, 0, 1, 2, 3}));
    EXPECT_EQ(wrapping.stats(), (AudioReassembler::Stats{8, 0, 0, 0}));
}

TEST_F(AudioReassemblerTest, GapIsDeclaredLostOnlyBeyondTheReorderWindow) {
    audio({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14, 15, 16});
    EXPECT_EQ(out.size(), 10u);  // 10 still awaited
    audio(17);
    EXPECT_EQ(out, played({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1, 11, 12, 13, 14, 15, 16, 17}));
    EXPECT_EQ(reassembler.stats().lost, 1);
    audio(10);
    EXPECT_EQ(reassembler.stats().late, 1);
}

TEST_F(AudioReassemblerTest, ParityThatOvertookTheBlocksLastPacketStillRebuilds) {
    audio({200, 201});
    parity(1, 200);  // two gaps, one parity shard: nothing yet
    EXPECT_EQ(out, played({200, 201}));
    audio(203);
    EXPECT_EQ(out, played({200, 201, 202, 203}));
    EXPECT_EQ(reassembler.stats(), (AudioReassembler::Stats{4, 1, 0, 0}));
}

TEST_F(AudioReassemblerTest, RebuiltPacketBehindThePlayPositionIsNotHandedOn) {
    audio({400, 401, 404, 405, 406, 407, 408, 409});
    EXPECT_EQ(out, played({400, 401, -1})); // 402 given up, 403 still awaited
    parity(0, 400);
    parity(1, 400);
    EXPECT_EQ(out, played({400, 401, -1, 403, 404, 405, 406, 407, 408, 409}));
    EXPECT_EQ(reassembler.stats().recovered, 1);
    // Parity for a block wholly behind the play position changes nothing.
    parity(0, 396);
    EXPECT_EQ(reassembler.stats().recovered, 1);
}

TEST_F(AudioReassemblerTest, IgnoresParityOffTheGridBehindOrFarAheadOrWithABadIndex) {
    audio({500, 501, 502, 503, 504});
    const std::size_t blocks = reassembler.blockCount();
    parity(2, 504);  // index 2
    parity(0, 506);  // not a block start
    parity(0, 496);  // block already played
    parity(0, 60000); // nowhere near the play position
    parity(0, 1000);
    EXPECT_EQ(reassembler.blockCount(), blocks);
    parity(0, 504);
    EXPECT_EQ(reassembler.blockCount(), blocks);
    parity(0, 508); // the next block's parity may come before its packets
    EXPECT_EQ(reassembler.blockCount(), blocks + 1);
}

TEST_F(AudioReassemblerTest, ParityBeforeTheFirstPacketKeepsOnlyBlocksNearIt) {
    for (int base = 0; base < 65536; base += 1024) parity(0, static_cast<std::uint16_t>(base));
    EXPECT_EQ(reassembler.blockCount(), 64u);
    audio(8190); // only the block at 8192 lies just ahead; the one at 8188 is its own
    EXPECT_EQ(reassembler.blockCount(), 2u);
}

TEST_F(AudioReassemblerTest, FarJumpConcealsOnlyWhatThePlayerCanHold) {
    audio({1000, 1001});
    audio(31000); // 30000 ahead
    const int limit = AudioReassembler::defaultConcealLimit;
    ASSERT_EQ(static_cast<int>(out.size()), 2 + limit);
    for (int i = 0; i < limit; ++i) EXPECT_FALSE(out[2 + i]);
    // Everything in between counts as lost; the new packet waits in its window like any other.
    EXPECT_EQ(reassembler.stats().lost, 31000 - 1002 - AudioReassembler::defaultReorderWindow);
    EXPECT_EQ(reassembler.next(), 31000 - AudioReassembler::defaultReorderWindow);
    // The window before the new packet is waited for and passed one packet at a time, as usual.
    audio({31001, 31002, 31003, 31004, 31005, 31006});
    EXPECT_EQ(out.back(), payloadOf(31006));
    EXPECT_EQ(static_cast<int>(out.size()), 2 + limit + 6 + 7);
    EXPECT_EQ(reassembler.stats().lost, 31000 - 1002);
    EXPECT_EQ(reassembler.pendingCount(), 0u);
}

TEST_F(AudioReassemblerTest, StateStaysBoundedOverALongLossyStream) {
    std::mt19937 random(3);
    std::uint16_t s = 65000;
    for (int i = 0; i < 20000; ++i) {
        const auto r = random() % 100;
        if (r < 10) {
            s = static_cast<std::uint16_t>(s + random() % 40000); // jumps, some read as backwards
        } else if (r < 20) {
            parity(static_cast<std::uint8_t>(random() % 2), static_cast<std::uint16_t>((s + random() % 64) & ~3u));
        }
        if (r % 7 != 0) audio(s);
        s = static_cast<std::uint16_t>(s + 1);
        ASSERT_LE(reassembler.pendingCount(), AudioReassembler::defaultReorderWindow + 1u);
        ASSERT_LE(reassembler.blockCount(), AudioReassembler::maxBlocks);
    }
    // Blocks behind the play position are gone once the stream runs on cleanly.
    s = *reassembler.next();
    for (int i = 0; i < 100; ++i) audio(s++);
    EXPECT_LE(reassembler.blockCount(), 5u);
}

TEST_F(AudioReassemblerTest, ShardsOfDifferentLengthsRebuildAtTheBlockLength) {
    // A packet cut short, and one longer than the parity: no read or write past either.
    const std::array<Bytes, 4> data{Bytes(50, 1), Bytes(10, 2), Bytes(50, 3), Bytes(50, 4)};
    const auto parity = test::audio::isalParity(data);
    reassembler.add(audioDatagram(600, 0, data[0]));
    reassembler.add(audioDatagram(601, 0, data[1]));
    reassembler.add(audioDatagram(603, 0, Bytes(300, 4)));
    reassembler.add(fecDatagram(1, 600, parity[1]));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[2], data[2]);
    EXPECT_EQ(reassembler.stats().recovered, 1);
}

} // namespace
} // namespace corvane::stream
