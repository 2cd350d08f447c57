// Frame assembly throughput in datagrams per second, at 0, 1 and 5 % random loss, against copying the
// same payloads with memcpy in the same run. Counters:
//   dgram_per_s  datagrams taken in per second by the assembler
//   vs_memcpy    memcpy time / assembly time for the same datagrams (1 would be as fast as a plain copy)
//   recovered    data shards rebuilt per pass; lost: frames lost per pass

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/reed_solomon/ReedSolomon.hpp"
#include "engine/video/FrameAssembler.hpp"

namespace corvane::stream {
namespace {

constexpr int kFrames = 120;
constexpr std::size_t kPayloadBytes = 1024;
constexpr int kDataPerBlock = 32;
constexpr int kParityPercent = 20;

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

// A 60 fps stream at about 12 Mbit/s: a keyframe every second, datagrams as the box sends them.
struct Stream {
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
            Bytes payload{1, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, static_cast<std::uint8_t>(key ? 0x65 : 0x41)};
            const std::size_t bytes = key ? 120000 : 24000;
            while (payload.size() < bytes) payload.push_back(static_cast<std::uint8_t>(random() % 255 + 1));
            const std::size_t chunks = (payload.size() + kPayloadBytes - 1) / kPayloadBytes;
            const std::size_t last = payload.size() - (chunks - 1) * kPayloadBytes;
            payload[4] = static_cast<std::uint8_t>(last);
            payload[5] = static_cast<std::uint8_t>(last >> 8);
            payload.resize(chunks * kPayloadBytes, 0);
            const int blocks = static_cast<int>((chunks + kDataPerBlock - 1) / kDataPerBlock);
            std::size_t chunk = 0;
            for (int b = 0; b < blocks; ++b) {
                const int data = static_cast<int>(std::min<std::size_t>(kDataPerBlock, chunks - chunk));
                const int parity = (kParityPercent * data + 99) / 100;
                std::vector<Bytes> shards(static_cast<std::size_t>(data + parity), Bytes(16 + kPayloadBytes, 0));
                for (int i = 0; i < data; ++i) {
                    Bytes& shard = shards[static_cast<std::size_t>(i)];
                    writeShardHeader(shard.data(), static_cast<std::uint32_t>(f), blocks, b, data, i);
                    std::memcpy(&shard[16], &payload[(chunk + static_cast<std::size_t>(i)) * kPayloadBytes], kPayloadBytes);
                }
                chunk += static_cast<std::size_t>(data);
                reed_solomon* rs = reed_solomon_new(data, parity);
                std::vector<std::uint8_t*> pointers;
                for (auto& shard : shards) pointers.push_back(shard.data());
                reed_solomon_encode(rs, pointers.data(), data + parity, static_cast<int>(16 + kPayloadBytes));
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

template <typename F>
double secondsPerCall(F&& call)
{
    using Clock = std::chrono::steady_clock;
    int calls = 1;
    for (;;) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) call();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed > 0.02) return elapsed / calls;
        calls *= 2;
    }
}

void assemble(benchmark::State& state)
{
    Stream stream(static_cast<int>(state.range(0)));
    FrameAssembler assembler(StreamConfig::Codec::h264);
    std::size_t delivered = 0;
    assembler.onFrame = [&](VideoFrame frame) { delivered += frame.data.size(); };
    std::uint32_t pass = 0;
    auto assemblePass = [&] {
        stream.renumber(pass++);
        for (const auto& datagram : stream.datagrams) assembler.add(datagram);
    };
    Bytes sink(stream.datagrams.size() * kPayloadBytes);
    auto copyPass = [&] {
        stream.renumber(pass);
        std::uint8_t* out = sink.data();
        for (const auto& datagram : stream.datagrams) {
            std::memcpy(out, datagram.data() + 32, datagram.size() - 32);
            out += datagram.size() - 32;
        }
        benchmark::DoNotOptimize(sink.data());
        benchmark::ClobberMemory();
    };

    double ours = 1e9;
    double copy = 1e9;
    for (int round = 0; round < 3; ++round) {
        ours = std::min(ours, secondsPerCall(assemblePass));
        copy = std::min(copy, secondsPerCall(copyPass));
    }
    const auto before = assembler.stats();
    std::int64_t passes = 0;
    for (auto _ : state) {
        assemblePass();
        ++passes;
    }
    const auto after = assembler.stats();
    const auto count = static_cast<double>(stream.datagrams.size());
    state.counters["dgram_per_s"] = benchmark::Counter(count * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["vs_memcpy"] = copy / ours;
    state.counters["memcpy_dgram_per_s"] = count / copy;
    state.counters["recovered"] = static_cast<double>(after.packetsRecovered - before.packetsRecovered) / static_cast<double>(passes);
    state.counters["lost"] = static_cast<double>(after.framesLost - before.framesLost) / static_cast<double>(passes);
    benchmark::DoNotOptimize(delivered);
}

BENCHMARK(assemble)->Arg(0)->Arg(1)->Arg(5)->ArgNames({"loss_pct"})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace corvane::stream
