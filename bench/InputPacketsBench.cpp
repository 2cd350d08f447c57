// Building and queuing one input packet per user event (key, absolute move, relative move, wheel), with the
// heap allocations each event costs, counted through this program's own global operator new. Counters:
//   allocs_per_event  heap allocations per event (the per-event path should show 0)
//   vs_bytes          time of the same packet built as owned Bytes / time of the fixed-buffer path
// "Queuing" is into a fixed ring under a lock, as a sender thread would take from. The *_ControlChannel cases
// measure the road the session offers today (sendInput takes Bytes, the channel appends to its list): they
// allocate per event, and the counter says how much.
#include "engine/input/InputPacket.hpp"
#include "engine/session/ControlChannel.hpp"
#include "tests/support/AllocationCounter.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

using corvane::test::allocations::total;

namespace {

using corvane::Bytes;
using corvane::stream::ControlChannel;
using corvane::stream::PacketBuffer;
namespace InputPacket = corvane::stream::InputPacket;

// A fixed ring of packets under one lock: the producer (the view) pushes, a sender takes. Full drops the new
// packet and counts it, as a bounded queue must.
class PacketRing {
public:
    bool push(const PacketBuffer& packet) {
        std::lock_guard guard(lock_);
        if (count_ == slots_.size()) {
            ++dropped_;
            return false;
        }
        slots_[(head_ + count_) % slots_.size()] = packet;
        ++count_;
        return true;
    }
    std::optional<PacketBuffer> take() {
        std::lock_guard guard(lock_);
        if (count_ == 0) return std::nullopt;
        PacketBuffer packet = slots_[head_];
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return packet;
    }

private:
    std::mutex lock_;
    std::array<PacketBuffer, 256> slots_{};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::int64_t dropped_ = 0;
};

enum class Event { key, absoluteMove, relativeMove, wheel };

PacketBuffer buildFixed(Event event, int i) {
    const auto v = static_cast<std::int16_t>(i & 0x3FF);
    switch (event) {
    case Event::key: return InputPacket::fixed::key(0x41, (i & 1) != 0, InputPacket::Modifiers::shift);
    case Event::absoluteMove: return InputPacket::fixed::mousePosition(v, v, 1920, 1080);
    case Event::relativeMove: return InputPacket::fixed::mouseMove(v, static_cast<std::int16_t>(-v));
    case Event::wheel: return InputPacket::fixed::scroll(120);
    }
    return {};
}

Bytes buildBytes(Event event, int i) {
    const auto v = static_cast<std::int16_t>(i & 0x3FF);
    switch (event) {
    case Event::key: return InputPacket::key(0x41, (i & 1) != 0, InputPacket::Modifiers::shift);
    case Event::absoluteMove: return InputPacket::mousePosition(v, v, 1920, 1080);
    case Event::relativeMove: return InputPacket::mouseMove(v, static_cast<std::int16_t>(-v));
    case Event::wheel: return InputPacket::scroll(120);
    }
    return {};
}

template <typename F>
double secondsPerCall(F&& call) {
    using Clock = std::chrono::steady_clock;
    int calls = 1;
    for (;;) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) call(i);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed > 0.01) return elapsed / calls;
        calls *= 2;
    }
}

void BuildAndQueue(benchmark::State& state, Event event) {
    PacketRing ring;
    int i = 0;
    const std::int64_t before = total.load();
    for (auto _ : state) {
        ring.push(buildFixed(event, i++));
        auto taken = ring.take(); // the sender's side keeps the ring from filling
        benchmark::DoNotOptimize(taken);
    }
    const std::int64_t allocated = total.load() - before;
    state.counters["allocs_per_event"] =
        benchmark::Counter(static_cast<double>(allocated) / static_cast<double>(state.iterations()));

    // The reference: the same packets as owned Bytes.
    const double fixed = secondsPerCall([&](int n) {
        auto packet = buildFixed(event, n);
        benchmark::DoNotOptimize(packet);
    });
    const double bytes = secondsPerCall([&](int n) {
        auto packet = buildBytes(event, n);
        benchmark::DoNotOptimize(packet);
    });
    state.counters["vs_bytes"] = benchmark::Counter(bytes / fixed);
}

// The session's road: sendInput(Bytes) hands the packet to ControlChannel::send, which appends it to the list
// the control thread swaps out on every turn. A channel that is not connected keeps what it is given, so a
// fresh one stands in for each turn of 16 events (made and released outside the count and the clock).
void BytesThroughControlChannel(benchmark::State& state, Event event) {
    auto channel = std::make_unique<ControlChannel>("127.0.0.1", 47999, 0, std::nullopt, corvane::stream::ControlCrypto::IVStyle::v2);
    int i = 0;
    std::int64_t allocated = 0;
    for (auto _ : state) {
        const std::int64_t before = total.load();
        channel->send(0x0206, buildBytes(event, i));
        allocated += total.load() - before;
        if (++i % 16 == 0) {
            state.PauseTiming();
            channel = std::make_unique<ControlChannel>("127.0.0.1", 47999, 0, std::nullopt,
                                                       corvane::stream::ControlCrypto::IVStyle::v2);
            state.ResumeTiming();
        }
    }
    state.counters["allocs_per_event"] =
        benchmark::Counter(static_cast<double>(allocated) / static_cast<double>(state.iterations()));
}

BENCHMARK_CAPTURE(BuildAndQueue, key, Event::key);
BENCHMARK_CAPTURE(BuildAndQueue, absolute_move, Event::absoluteMove);
BENCHMARK_CAPTURE(BuildAndQueue, relative_move, Event::relativeMove);
BENCHMARK_CAPTURE(BuildAndQueue, wheel, Event::wheel);
BENCHMARK_CAPTURE(BytesThroughControlChannel, key, Event::key);
BENCHMARK_CAPTURE(BytesThroughControlChannel, absolute_move, Event::absoluteMove);
BENCHMARK_CAPTURE(BytesThroughControlChannel, relative_move, Event::relativeMove);
BENCHMARK_CAPTURE(BytesThroughControlChannel, wheel, Event::wheel);

} // namespace
