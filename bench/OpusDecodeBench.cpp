// Opus decoding of one 5 ms packet (the box's packet length) for stereo, 5.1 and 7.1, and concealment of
// one lost packet, against libopus decoding the same packets straight into a buffer of its own in the
// same run. Time per iteration is time per packet. Counters:
//   vs_libopus   libopus alone / ours (close to 1: the wrapper costs nothing worth mentioning)
//   realtime_x   5 ms / our time per packet: how many streams one core could decode

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>
#include <opus_multistream.h>

#include "engine/audio/OpusAudioDecoder.hpp"
#include "tests/support/AudioStreams.hpp"

namespace corvane::stream {
namespace {

constexpr int kFrame = 240;
constexpr int kPackets = 400;

struct Stream {
    OpusLayout layout;
    std::vector<Bytes> packets;
};

// The same tones and noise the audio tests encode, made by libopus itself.
Stream encode(int channels) {
    auto made = test::audio::OpusStream::make(channels, kPackets, kFrame);
    return Stream{OpusLayout{channels, made.streams, made.coupled, made.mapping}, std::move(made.packets)};
}

template <typename F>
double secondsPerCall(F&& call) {
    using Clock = std::chrono::steady_clock;
    int calls = kPackets;
    for (;;) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) call();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed > 0.02) return elapsed / calls;
        calls *= 2;
    }
}

void decodePacket(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    const bool lost = state.range(1) != 0;
    const Stream stream = encode(channels);

    auto ours = OpusAudioDecoder::make(stream.layout);
    int error = 0;
    OpusMSDecoder* reference = opus_multistream_decoder_create(48000, channels, static_cast<int>(stream.layout.streams),
                                                               static_cast<int>(stream.layout.coupled),
                                                               stream.layout.mapping.data(), &error);
    if (!ours || reference == nullptr) {
        state.SkipWithError("decoder refused the layout");
        return;
    }
    std::vector<float> buffer(static_cast<std::size_t>(5760 * channels));

    std::size_t next = 0;
    auto decodeOurs = [&] {
        const Bytes& packet = stream.packets[next++ % stream.packets.size()];
        auto samples = lost ? ours->decode(std::nullopt) : ours->decode(ByteView(packet));
        benchmark::DoNotOptimize(samples.data());
    };
    std::size_t refNext = 0;
    auto decodeReference = [&] {
        const Bytes& packet = stream.packets[refNext++ % stream.packets.size()];
        const auto size = static_cast<opus_int32>(packet.size());
        const int n = lost ? opus_multistream_decode_float(reference, nullptr, 0, buffer.data(), kFrame, 0)
                           : opus_multistream_decode_float(reference, packet.data(), size, buffer.data(), 5760, 0);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    };

    // Interleaved rounds, best of each, so both sides see the same machine state.
    double oursTime = 1e9;
    double referenceTime = 1e9;
    for (int round = 0; round < 3; ++round) {
        oursTime = std::min(oursTime, secondsPerCall(decodeOurs));
        referenceTime = std::min(referenceTime, secondsPerCall(decodeReference));
    }

    for (auto _ : state) decodeOurs();
    state.SetItemsProcessed(state.iterations());
    state.counters["packet_bytes"] = static_cast<double>(stream.packets[0].size());
    state.counters["vs_libopus"] = referenceTime / oursTime;
    state.counters["realtime_x"] = 0.005 / oursTime;
    opus_multistream_decoder_destroy(reference);
}

BENCHMARK(decodePacket)
    ->ArgsProduct({{2, 6, 8}, {0, 1}})
    ->ArgNames({"channels", "lost"})
    ->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace corvane::stream
