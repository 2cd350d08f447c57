// Opus decoding of one 5 ms packet (the box's packet length) for stereo, 5.1 and 7.1, and concealment of
// one lost packet, against libopus decoding the same packets straight into a buffer of its own in the
// same run. Time per iteration is time per packet. Counters:
//   vs_libopus   libopus alone / ours (close to 1: the wrapper costs nothing worth mentioning)
//   realtime_x   5 ms / our time per packet: how many streams one core could decode

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <stdexcept>
#include <vector>

#include <benchmark/benchmark.h>
#include <opus_multistream.h>

#include "engine/audio/OpusAudioDecoder.hpp"

namespace corvane::stream {
namespace {

constexpr int kFrame = 240;
constexpr int kPackets = 400;

struct Stream {
    OpusLayout layout;
    std::vector<Bytes> packets;
};

Stream encode(int channels) {
    Stream s;
    int streams = 0;
    int coupled = 0;
    std::vector<unsigned char> mapping(static_cast<std::size_t>(channels));
    int error = 0;
    OpusMSEncoder* encoder = opus_multistream_surround_encoder_create(
        48000, channels, channels > 2 ? 1 : 0, &streams, &coupled, mapping.data(), OPUS_APPLICATION_RESTRICTED_LOWDELAY,
        &error);
    if (encoder == nullptr || error != OPUS_OK) throw std::runtime_error("opus encoder refused");
    opus_multistream_encoder_ctl(encoder, OPUS_SET_VBR(0));
    opus_multistream_encoder_ctl(encoder, OPUS_SET_BITRATE(64000 * channels));
    s.layout = OpusLayout{channels, streams, coupled, mapping};

    std::vector<float> pcm(static_cast<std::size_t>(kFrame * channels));
    std::uint32_t noise = 1;
    for (int p = 0; p < kPackets; ++p) {
        for (int i = 0; i < kFrame; ++i)
            for (int c = 0; c < channels; ++c) {
                noise = noise * 1103515245u + 12345u;
                const double t = (p * kFrame + i) / 48000.0;
                const double tone = 0.3 * std::sin(2 * std::numbers::pi * (200.0 + 90.0 * c) * t);
                pcm[static_cast<std::size_t>(i * channels + c)] =
                    static_cast<float>(tone + 0.1 * ((noise >> 16) / 32768.0 - 1.0));
            }
        Bytes packet(4000);
        const int n = opus_multistream_encode_float(encoder, pcm.data(), kFrame, packet.data(),
                                                    static_cast<opus_int32>(packet.size()));
        if (n <= 0) throw std::runtime_error("opus encode failed");
        packet.resize(static_cast<std::size_t>(n));
        s.packets.push_back(std::move(packet));
    }
    opus_multistream_encoder_destroy(encoder);
    return s;
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
