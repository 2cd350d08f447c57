// Frame assembly as the box's stream reaches it: 60 frames a second of 40 KB with a 150 KB keyframe every
// second, cut into 1408-byte shards with 20 % parity, at 0, 1 and 5 % random datagram loss. Before timing,
// one pass compares every delivered frame with the access unit that was sent. Counters:
//   dgram_per_s      datagrams taken in per second
//   last_to_out_p50  median time from handing in the packet that completes a frame to the frame reaching
//   last_to_out_p99  onFrame, and its 99th percentile, in microseconds (recovery included)
//   delivered, lost, recovered  frames delivered and lost, data shards rebuilt, per pass of 120 frames
//   wrong            delivered frames whose bytes differ from what was sent (must be 0)

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/reed_solomon/ReedSolomon.hpp"
#include "engine/video/FrameAssembler.hpp"

namespace corvane::stream {
namespace {

constexpr int kFrames = 120;
constexpr std::size_t kShardBytes = 1408;
constexpr std::size_t kPayloadBytes = kShardBytes - 16;
constexpr int kMaxDataPerBlock = 200;
constexpr int kParityPercent = 20;
constexpr std::size_t kFrameBytes = 40 * 1000;
constexpr std::size_t kKeyframeBytes = 150 * 1000;

using Clock = std::chrono::steady_clock;

void putLE32(std::uint8_t* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Bytes 16..31 of a datagram, which are also the first 16 bytes of its shard.
void writeShardHeader(std::uint8_t* at, std::uint32_t frame, int blocks, int block, int data, int index)
{
    putLE32(at + 4, frame);
    at[11] = static_cast<std::uint8_t>((blocks - 1) << 6 | block << 4);
    putLE32(at + 12, std::uint32_t(data) << 22 | std::uint32_t(index) << 12 | std::uint32_t(kParityPercent) << 4);
}

struct Stream {
    std::vector<Bytes> units;  // the access unit of each frame
    std::vector<Bytes> datagrams;
    std::vector<std::uint32_t> frameOf;

    explicit Stream(int lossPercent)
    {
        reed_solomon_init();
        std::mt19937 random(42);
        std::vector<Bytes> all;
        std::vector<std::uint32_t> frames;
        for (int f = 0; f < kFrames; ++f) {
            const bool key = f % 60 == 0;
            Bytes unit{0, 0, 0, 1, static_cast<std::uint8_t>(key ? 0x65 : 0x41)};
            while (unit.size() < (key ? kKeyframeBytes : kFrameBytes)) unit.push_back(static_cast<std::uint8_t>(random() % 255 + 1));
            Bytes payload{1, 20, 0, 0, 0, 0, 0, 0};
            payload.insert(payload.end(), unit.begin(), unit.end());
            units.push_back(std::move(unit));
            const std::size_t chunks = (payload.size() + kPayloadBytes - 1) / kPayloadBytes;
            const std::size_t last = payload.size() - (chunks - 1) * kPayloadBytes;
            payload[4] = static_cast<std::uint8_t>(last);
            payload[5] = static_cast<std::uint8_t>(last >> 8);
            payload.resize(chunks * kPayloadBytes, 0);
            const int blocks = static_cast<int>((chunks + kMaxDataPerBlock - 1) / kMaxDataPerBlock);
            const std::size_t perBlock = (chunks + blocks - 1) / blocks;
            std::size_t chunk = 0;
            for (int b = 0; b < blocks; ++b) {
                const int data = static_cast<int>(std::min(perBlock, chunks - chunk));
                const int parity = (kParityPercent * data + 99) / 100;
                std::vector<Bytes> shards(static_cast<std::size_t>(data + parity), Bytes(kShardBytes, 0));
                for (int i = 0; i < data; ++i) {
                    Bytes& shard = shards[static_cast<std::size_t>(i)];
                    writeShardHeader(shard.data(), static_cast<std::uint32_t>(f), blocks, b, data, i);
                    std::memcpy(&shard[16], &payload[(chunk + static_cast<std::size_t>(i)) * kPayloadBytes], kPayloadBytes);
                }
                chunk += static_cast<std::size_t>(data);
                reed_solomon* rs = reed_solomon_new(data, parity);
                std::vector<std::uint8_t*> pointers;
                for (auto& shard : shards) pointers.push_back(shard.data());
                reed_solomon_encode(rs, pointers.data(), data + parity, static_cast<int>(kShardBytes));
                reed_solomon_release(rs);
                for (int i = 0; i < data + parity; ++i) {
                    Bytes& shard = shards[static_cast<std::size_t>(i)];
                    // A parity packet carries its own header where the parity of the data headers would be.
                    if (i >= data) writeShardHeader(shard.data(), static_cast<std::uint32_t>(f), blocks, b, data, i);
                    Bytes datagram(16, 0);
                    datagram[0] = 0x90;
                    datagram.insert(datagram.end(), shard.begin(), shard.end());
                    all.push_back(std::move(datagram));
                    frames.push_back(static_cast<std::uint32_t>(f));
                }
            }
        }
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (static_cast<int>(random() % 100) < lossPercent) continue;
            datagrams.push_back(std::move(all[i]));
            frameOf.push_back(frames[i]);
        }
    }

    // Each pass continues the frame numbering, so the assembler sees one long stream.
    void renumber(std::uint32_t pass)
    {
        for (std::size_t i = 0; i < datagrams.size(); ++i) putLE32(&datagrams[i][20], frameOf[i] + pass * kFrames);
    }
};

void assemble(benchmark::State& state)
{
    Stream stream(static_cast<int>(state.range(0)));
    FrameAssembler assembler(StreamConfig::Codec::h264);
    std::uint32_t pass = 0;
    Clock::time_point handedIn;
    std::vector<double> latencies;
    std::int64_t wrong = 0;
    bool compare = true;
    assembler.onFrame = [&](VideoFrame frame) {
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - handedIn).count());
        if (compare && frame.data != stream.units[frame.index % kFrames]) ++wrong;
    };
    auto assemblePass = [&] {
        stream.renumber(pass++);
        for (const auto& datagram : stream.datagrams) {
            handedIn = Clock::now();
            assembler.add(datagram);
        }
    };

    // Checked and timed passes: every frame compared, latencies gathered.
    for (int i = 0; i < 20; ++i) assemblePass();
    if (wrong != 0) {
        std::fprintf(stderr, "%lld delivered frames differ from what was sent\n", static_cast<long long>(wrong));
        std::abort();
    }
    std::sort(latencies.begin(), latencies.end());
    const double p50 = latencies.empty() ? 0 : latencies[latencies.size() / 2];
    const double p99 = latencies.empty() ? 0 : latencies[latencies.size() * 99 / 100];

    compare = false;
    const auto before = assembler.stats();
    std::int64_t passes = 0;
    for (auto _ : state) {
        assemblePass();
        ++passes;
        latencies.clear();
    }
    const auto after = assembler.stats();
    const auto perPass = [&](std::int64_t count) { return static_cast<double>(count) / static_cast<double>(passes); };
    const auto count = static_cast<double>(stream.datagrams.size());
    state.counters["dgram_per_s"] = benchmark::Counter(count * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["last_to_out_p50"] = p50;
    state.counters["last_to_out_p99"] = p99;
    state.counters["delivered"] = perPass(after.framesDelivered - before.framesDelivered);
    state.counters["lost"] = perPass(after.framesLost - before.framesLost);
    state.counters["recovered"] = perPass(after.packetsRecovered - before.packetsRecovered);
    state.counters["wrong"] = static_cast<double>(wrong);
}

BENCHMARK(assemble)->Arg(0)->Arg(1)->Arg(5)->ArgNames({"loss_pct"})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace corvane::stream
