// The stream window's per-frame and per-tick costs on a virtual X display with software OpenGL:
// - PresentedHook: the stream view's per-frame step by hand, wall clock on the main thread, with the view
//   shown on the display in a 960x540 window: a new 1920x1080 I420 picture (the decoder's layout) put in
//   the slot, then the tick that takes it, has the view's render thread upload its planes, draw it scaled
//   to half into the view's own GL surface and swap (waiting for that), and counts it. With the
//   presented-frame hook (the frame counter's hand-over to its worker) against the same step without it,
//   interleaved in one run; "ratio" is with/without, "added_ns" the difference per frame, "without_ns" the
//   step itself (medians), "drawn" the share of steps that drew.
// - OverlayTick: the overlay's whole-second tick (placement over the window, figures) plus the card's repaint
//   (drawn into an image: the window system's flush is not the overlay's), in main-thread CPU time;
//   "tick_cpu_us" is the tick alone, "wall_us" both by the wall clock.
// - SaveSnapshot: the last-picture file from a 3840x2160 BGRA and a 10-bit picture (target: under 40 ms).
#include "bench/BenchSupport.hpp"
#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/window/StartView.hpp"
#include "app/window/StatsOverlay.hpp"
#include "app/window/StatsPill.hpp"
#include "engine/view/StreamView.hpp"
#include "bench/VirtualDisplayMain.hpp"

#include <benchmark/benchmark.h>

#include <QPainter>

#include <algorithm>
#include <chrono>
#include <vector>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

using namespace corvane;
using platform::PixelBuffer;
using Seconds = std::chrono::duration<double>;

std::shared_ptr<PixelBuffer> picture(PixelBuffer::Format format, int width, int height) {
    auto buffer = PixelBuffer::make(format, width, height);
    for (int p = 0; p < buffer->planeCount(); ++p) {
        auto& plane = buffer->mutablePlane(p);
        for (int row = 0; row < plane.height; ++row)
            std::memset(plane.data + std::size_t(row) * plane.bytesPerRow, (row * 7 + p * 50) & 0xff, plane.bytesPerRow);
    }
    return buffer;
}

// One refresh step: a new picture put in the slot (as the decoder does), then the view's tick.
double step(stream::StreamView& view, const std::shared_ptr<PixelBuffer>& image, std::uint32_t index) {
    view.slot().put(stream::DecodedFrame{image, index, 0, 0, 0});
    const auto start = std::chrono::steady_clock::now();
    view.tick();
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

void PresentedHook(benchmark::State& state) {
    stream::StreamView view(QRect(0, 0, 960, 540));
    view.show();
    // Until its surface is on screen: read back from it, a picture comes.
    corvane::bench::spinUntil([&view] { return !view.grabFramebuffer().isNull(); });
    FrameCounter counter(0);
    const std::function<void(const stream::DecodedFrame&)> hook = [&counter](const stream::DecodedFrame& frame) {
        counter.present(frame.image);
    };
    const auto image = picture(PixelBuffer::Format::i420, 1920, 1080);
    std::uint32_t index = 0;
    std::vector<double> without, with;
    for (auto _ : state) {
        // Alternating which goes first, so neither always finds the caches the other warmed.
        double plain = 0, hooked = 0;
        for (int round = 0; round < 2; ++round) {
            const bool hookFirst = (index / 2 + round) % 2 == 1;
            view.onPresented = hookFirst ? hook : nullptr;
            (hookFirst ? hooked : plain) += step(view, image, ++index);
            view.onPresented = hookFirst ? nullptr : hook;
            (hookFirst ? plain : hooked) += step(view, image, ++index);
        }
        without.push_back(plain / 2);
        with.push_back(hooked / 2);
        state.SetIterationTime(hooked / 2);
    }
    view.onPresented = nullptr;
    // Every step drew: the view keeps the timings of what it drew.
    state.counters["drawn"] = double(view.presented().size()) / double(std::max<std::uint32_t>(index, 1));
    // Medians: a busy machine's occasional preemption would swamp a mean of a few steps.
    const auto median = [](std::vector<double>& values) {
        std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(values.size() / 2), values.end());
        return values.empty() ? 0.0 : values[values.size() / 2];
    };
    const double plain = median(without), hooked = median(with);
    state.counters["ratio"] = plain > 0 ? hooked / plain : 0;
    state.counters["added_ns"] = (hooked - plain) * 1e9;
    state.counters["without_ns"] = plain * 1e9;
}
BENCHMARK(PresentedHook)->UseManualTime()->Iterations(150);

void OverlayTick(benchmark::State& state) {
    ManualClock clock;
    AppPool pool;
    QWidget window;
    window.resize(1280, 720);
    window.show();
    QCoreApplication::processEvents();
    StatsOverlay overlay(clock, pool);
    overlay.start(0, StatsOverlay::Position::topRight, true, {2560, 1440, "HEVC", 50, 60, false});
    overlay.engineWindow = &window;
    int fps = 40;
    overlay.engineFPS = [&fps]() -> std::optional<int> { return fps = fps == 40 ? 61 : 40; };
    overlay.engineLatency = []() -> std::optional<double> { return 4.2; };
    AgentClient::BoxStatus load;
    load.cpuPercent = 12.4, load.gpuPercent = 55.5, load.temperatureC = 61.0;
    overlay.setBoxStatus(load);
    double ticking = 0, wall = 0;
    QImage card(overlay.panel()->size() + QSize(0, 40), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        for (int i = 0; i < 3; ++i) overlay.tick();
        const auto start = std::chrono::steady_clock::now();
        const double cpu = corvane::bench::threadCpuSeconds();
        overlay.tick();  // the whole-second one
        ticking += corvane::bench::threadCpuSeconds() - cpu;
        QPainter painter(&card);
        static_cast<StatsPill*>(overlay.panel())->draw(painter);
        painter.end();
        state.SetIterationTime(corvane::bench::threadCpuSeconds() - cpu);
        wall += Seconds(std::chrono::steady_clock::now() - start).count();
    }
    const double n = double(state.iterations());
    state.counters["tick_cpu_us"] = ticking / n * 1e6;
    state.counters["wall_us"] = wall / n * 1e6;
    overlay.stop();
}
BENCHMARK(OverlayTick)->UseManualTime()->Iterations(400);

void SaveSnapshot(benchmark::State& state) {
    const auto format = state.range(0) ? PixelBuffer::Format::x420 : PixelBuffer::Format::bgra;
    const auto image = picture(format, 3840, 2160);
    for (auto _ : state) StartView::saveSnapshot(*image);
    state.SetLabel(state.range(0) ? "3840x2160 10-bit" : "3840x2160 BGRA");
}
BENCHMARK(SaveSnapshot)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) { return bench::runOnVirtualDisplay(argc, argv, "1280x800x24"); }
