// Sealing and opening control messages in both nonce styles, measured against raw AES-GCM over the same
// plain bytes with the same nonce length. Counters:
//   vs_raw   raw AES-GCM time / our time (1.0 = the framing costs nothing; below 1 = its share)
//   raw_ns   raw AES-GCM nanoseconds per message
// The style-fallback case opens a v1 message with v2 tried first, as when the box answers in the other style.
#include "engine/session/ControlCrypto.hpp"
#include "platform/crypto/AesGcm.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>

namespace {

using corvane::Bytes;
using corvane::platform::AesGcm;
using corvane::stream::ControlCrypto;
using Style = ControlCrypto::IVStyle;

const Bytes kKey(16, 0x42);

template <typename F>
double secondsPerCall(F&& call) {
    using Clock = std::chrono::steady_clock;
    int calls = 1;
    for (;;) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) call();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed > 0.01) return elapsed / calls;
        calls *= 2;
    }
}

// Interleaved rounds, best of each, so both sides see the same machine state.
template <typename Ours, typename Raw>
void report(benchmark::State& state, Ours&& ours, Raw&& raw, std::size_t bytes) {
    double oursTime = 1e9, rawTime = 1e9;
    for (int round = 0; round < 5; ++round) {
        oursTime = std::min(oursTime, secondsPerCall(ours));
        rawTime = std::min(rawTime, secondsPerCall(raw));
    }
    for (auto _ : state) ours();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["vs_raw"] = rawTime / oursTime;
    state.counters["raw_ns"] = rawTime * 1e9;
}

void seal(benchmark::State& state, Style style) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    ControlCrypto crypto(kKey, style);
    const Bytes payload(size, 0x11);
    std::uint32_t seq = 0;

    AesGcm gcm(kKey);
    const Bytes plain = ControlCrypto::plain(0x0206, payload);
    const Bytes nonce = ControlCrypto::iv(1, style, false);
    Bytes cipher(plain.size());
    std::array<std::uint8_t, 16> tag{};

    report(
        state, [&] { benchmark::DoNotOptimize(crypto.seal(0x0206, payload, ++seq, false)); },
        [&] {
            benchmark::DoNotOptimize(gcm.seal(nonce, plain, cipher, tag));
            benchmark::ClobberMemory();
        },
        plain.size());
}

void open(benchmark::State& state, Style sealedWith, Style tryFirst) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    ControlCrypto sealer(kKey, sealedWith);
    const Bytes message = sealer.seal(0x010B, Bytes(size, 0x11), 1, true);
    ControlCrypto opener(kKey, tryFirst);

    AesGcm gcm(kKey);
    const Bytes nonce = ControlCrypto::iv(1, sealedWith, true);
    const corvane::ByteView cipher = corvane::ByteView(message).subspan(24);
    const std::span<const std::uint8_t, 16> tag(message.data() + 8, 16);
    Bytes out(cipher.size());

    report(
        state, [&] { benchmark::DoNotOptimize(opener.open(message, true)); },
        [&] {
            benchmark::DoNotOptimize(gcm.open(nonce, cipher, tag, out));
            benchmark::ClobberMemory();
        },
        cipher.size());
}

} // namespace

BENCHMARK_CAPTURE(seal, v2, Style::v2)->Arg(4)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(seal, v1, Style::v1)->Arg(4)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(open, v2, Style::v2, Style::v2)->Arg(4)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(open, v1, Style::v1, Style::v1)->Arg(4)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(open, v1_after_v2, Style::v1, Style::v2)->Arg(4)->Arg(64);
