#include "engine/audio/AudioReassembler.hpp"
#include <gtest/gtest.h>
#include "tests/support/AudioStreams.hpp"

namespace corvane::stream {
namespace {

using test::audio::audioDatagram;
using Stats = AudioReassembler::Stats;

Bytes payloadOf(std::uint16_t s) { return {static_cast<std::uint8_t>(s >> 8), static_cast<std::uint8_t>(s), 0xAB}; }

// An arrival: audio packet s, or parity shard `index` of the block at `base` (made with ISA-L).
struct Arrival { int s; int index = -1; };
Arrival P(int index, int base) { return {base, index}; }

struct Feed {
    AudioReassembler reassembler;
    std::vector<int> out; // sequence numbers handed on, -1 for a lost one
    Feed() {
        reassembler.onFrame = [this](std::optional<ByteView> payload) {
            out.push_back(payload ? (*payload)[0] << 8 | (*payload)[1] : -1);
            if (payload) { EXPECT_EQ(Bytes(payload->begin(), payload->end()), payloadOf(std::uint16_t(out.back()))); }
        };
    }
    void add(Arrival a) {
        const auto s = static_cast<std::uint16_t>(a.s);
        if (a.index < 0) return reassembler.add(audioDatagram(s, s * 240u, payloadOf(s)));
        std::array<Bytes, 4> data;
        for (int j = 0; j < 4; ++j) data[j] = payloadOf(static_cast<std::uint16_t>(s + j));
        reassembler.add(test::audio::fecDatagram(static_cast<std::uint8_t>(a.index), s,
                                                 test::audio::isalParity(data)[a.index % 2]));
    }
};

std::vector<int> range(int from, int to) {
    std::vector<int> r;
    for (int s = from; s <= to; ++s) r.push_back(s & 0xFFFF);
    return r;
}
std::vector<int> operator+(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(AudioReassemblerTest, HandsOnEverySequenceNumberOnceInOrderAndConcealsWhatThePlayerCanHold) {
    struct Case {
        const char* name;
        std::vector<Arrival> arrivals;
        std::vector<int> out;
        Stats stats;
        std::size_t blocks = 0;
    };
    std::vector<Arrival> gap;
    for (int s : range(0, 9) + range(11, 17)) gap.push_back({s});
    const Case cases[] = {
        {"reorder, duplicate, late", {{10}, {12}, {12}, {11}, {9}, {11}}, {10, 11, 12}, {3, 0, 0, 2}, 0},
        {"wrap", {{65532}, {65533}, {65535}, {0}, {65534}, {1}, {2}, {3}}, range(65532, 65539), {8, 0, 0, 0}},
        {"six ahead still within the window", {gap.begin(), gap.end() - 1}, range(0, 9), {10, 0, 0, 0}, 0},
        {"lost beyond the window", gap, range(0, 9) + std::vector{-1} + range(11, 17), {17, 0, 1, 0}, 0},
        {"parity overtakes the block's last packet", {{200}, {201}, P(1, 200), {203}}, range(200, 203), {4, 1, 0, 0}, 1},
        {"two lost need both parity shards", {{300}, {303}, P(0, 300), {304}, P(1, 300)}, range(300, 304), {5, 2, 0, 0}, 1},
        {"rebuilt behind the play position stays back",
         {{400}, {401}, {404}, {405}, {406}, {407}, {408}, {409}, P(0, 400), P(1, 400), P(0, 396)},
         std::vector{400, 401, -1} + range(403, 409), {9, 1, 1, 0}, 1},
        {"parity off the grid, behind, far ahead or index 2",
         {{500}, {501}, {503}, P(2, 500), P(0, 502), P(0, 496), P(0, 1000), P(0, 60000), P(1, 504)},
         {500, 501}, {2, 0, 0, 0}, 1},
        {"parity before the first packet kept only near it",
         {P(0, 4096), P(0, 8188), P(0, 8192), P(0, 60000), {8190}}, {8190}, {1, 0, 0, 0}, 2},
    };
    for (const auto& c : cases) {
        Feed run;
        for (const auto& a : c.arrivals) run.add(a);
        EXPECT_EQ(run.out, c.out) << c.name;
        EXPECT_EQ(run.reassembler.stats(), c.stats) << c.name;
        EXPECT_EQ(run.reassembler.blockCount(), c.blocks) << c.name;
    }
    // A far jump conceals only what the player can hold.
    Feed run;
    for (int s : {1000, 1001, 31000}) run.add({s});
    const int limit = 16, window = 6; // 80 ms of concealment; the reorder window
    EXPECT_EQ(run.out, (std::vector{1000, 1001} + std::vector(static_cast<std::size_t>(limit), -1)));
    EXPECT_EQ(run.reassembler.stats().lost, 31000 - 1002 - window);
    EXPECT_EQ(run.reassembler.next(), 31000 - window);
    for (int s : range(31001, 31006)) run.add({s});
    EXPECT_EQ(run.out.size(), 2u + limit + window + 7);
    EXPECT_EQ(run.reassembler.stats().lost, 31000 - 1002);
}

} // namespace
} // namespace corvane::stream
