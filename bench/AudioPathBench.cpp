// The whole audio path per datagram as the media thread runs it, wired as the audio pipeline wires it:
// reassembly, recovery from parity (every block of four loses one packet), Opus decoding and the player's
// ring, for stereo, 5.1 and 7.1, with the sound output pulling on SDL's dummy driver. Time per iteration is
// time per datagram. Counters:
//   allocs_per_datagram  allocations on the media thread per datagram (0: nothing allocated in steady state)
//   libopus_share        libopus decoding the same packets alone / the whole path, per audio packet
//   realtime_x           5 ms / the whole path's time per audio packet: how many streams one core could carry

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include <benchmark/benchmark.h>
#include <opus_multistream.h>

#include "engine/audio/AudioPipeline.hpp"
#include "engine/audio/AudioPlayer.hpp"
#include "engine/audio/AudioReassembler.hpp"
#include "engine/audio/OpusAudioDecoder.hpp"
#include "tests/support/AllocationCounter.hpp"
#include "tests/support/AudioStreams.hpp"

using corvane::test::allocations::counted;
using corvane::test::allocations::counting;

namespace corvane::stream {
namespace {

constexpr int kPackets = 400; // 2 s, replayed with ever later sequence numbers

struct Datagram {
    Bytes bytes;
    std::size_t sequenceAt; // offset of the 16-bit sequence number (audio) or block base (parity)
    std::uint16_t sequence;
};

double libopusSecondsPerPacket(const test::audio::OpusStream& stream) {
    int error = 0;
    OpusMSDecoder* decoder = opus_multistream_decoder_create(48000, stream.channels, stream.streams, stream.coupled,
                                                             stream.mapping.data(), &error);
    std::vector<float> out(static_cast<std::size_t>(5760 * stream.channels));
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (const auto& p : stream.packets)
            benchmark::DoNotOptimize(opus_multistream_decode_float(decoder, p.data(), static_cast<int>(p.size()),
                                                                   out.data(), 5760, 0));
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    opus_multistream_decoder_destroy(decoder);
    return best / kPackets;
}

void audioPath(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    const auto stream = test::audio::OpusStream::make(channels, kPackets);
    std::vector<Datagram> datagrams;
    for (int b = 0; b < kPackets; b += 4) {
        std::array<Bytes, 4> block;
        for (int j = 0; j < 4; ++j) block[j] = stream.packets[static_cast<std::size_t>(b + j)];
        for (int j : {0, 1, 3})
            datagrams.push_back({test::audio::audioDatagram(std::uint16_t(b + j), 0, block[j]), 2, std::uint16_t(b + j)});
        datagrams.push_back({test::audio::fecDatagram(0, std::uint16_t(b), test::audio::isalParity(block)[0]), 14,
                             std::uint16_t(b)});
    }

    AudioReassembler reassembler(AudioReassembler::defaultReorderWindow, 16);
    auto decoder = OpusAudioDecoder::make(*OpusLayout::from(stream.surroundParams(), channels, true));
    AudioPlayer player(channels, AudioPipeline::targetMs, AudioPipeline::maxMs);
    reassembler.onFrame = [&](std::optional<ByteView> payload) { player.enqueue(decoder->decode(payload)); };
    try {
        player.start();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    std::size_t next = 0;
    std::uint16_t round = 0;
    auto feedOne = [&] {
        Datagram& d = datagrams[next];
        const auto s = static_cast<std::uint16_t>(d.sequence + round * kPackets);
        d.bytes[d.sequenceAt] = static_cast<std::uint8_t>(s >> 8);
        d.bytes[d.sequenceAt + 1] = static_cast<std::uint8_t>(s);
        reassembler.add(d.bytes);
        if (++next == datagrams.size()) {
            next = 0;
            ++round;
        }
    };
    for (std::size_t i = 0; i < datagrams.size(); ++i) feedOne(); // warm up

    counted = 0;
    counting = true;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) feedOne();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    counting = false;
    player.stop();

    const auto iterations = static_cast<double>(state.iterations());
    const double perPacket = seconds / iterations * static_cast<double>(datagrams.size()) / kPackets;
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs_per_datagram"] = static_cast<double>(counted) / iterations;
    state.counters["libopus_share"] = libopusSecondsPerPacket(stream) / perPacket;
    state.counters["realtime_x"] = 0.005 / perPacket;
}

BENCHMARK(audioPath)->Arg(2)->Arg(6)->Arg(8)->ArgName("channels")->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
} // namespace corvane::stream
