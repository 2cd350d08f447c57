// Keyframe requests and first pictures on a lossy link. The simulated box (in this process, on a loopback
// address of its own) streams its test picture in H.264 at 60 frames a second with a share of its video
// datagrams lost on the way, drawn from a seeded generator; an engine session and video pipeline (software
// decoder) take it.
// - Moving/loss:L: the moving picture at 1280x720 and 10 Mbit/s for CORVANE_BENCH_SECONDS (default 60)
//   after the first picture. Counters, per minute of streaming: requests (keyframe requests the pipeline
//   sent), keyframes (the box sent), lost (frames lost), delivered (frames assembled).
// - Still/loss:L: a picture that stands still (sent only when asked for a keyframe or changed), numbered
//   from 1, in 20 sessions one after another (seeds 1 to 20), each changing its picture 5 times a second
//   apart. Counters: shown (sessions whose first picture came within 10 s), first_p50 and first_max (ms from
//   the session's start to its first picture), changes_shown (changed pictures shown within 2.5 s, of 100),
//   change_max (ms from a change to the picture shown after it, the worst of those).
// Reference, in the same run: each case with ticks:0, the pipeline given no ticks by the media thread (a frame
// that stops arriving is lost only when a later datagram comes, a keyframe is asked for once per loss and
// once by the 3 s start-up check); ticks:1 is the pipeline as the app runs it.
// With --benchmark_min_time below 0.5 every case runs briefly (2 s of streaming, 2 sessions of 1 change).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "boxsim/Box.hpp"
#include "engine/session/StreamSession.hpp"
#include "engine/video/VideoPipeline.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double streamSeconds = 60;
    int sessions = 20;
    int changes = 5;
} run;

double seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

template <typename Done>
bool waitFor(Done done, double limit) {
    const auto began = Clock::now();
    while (!done()) {
        if (seconds(began) > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

double percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(q * double(values.size())))];
}

struct PairedBox {
    explicit PairedBox(boxsim::Box::Options options) {
        options.address = test::uniqueLoopbackAddress();
        options.streamMedia = true;
        options.media.audio = false;
        box = std::make_shared<boxsim::Box>(options);
        box->start();
        host = test::boxHostFor(options.address, dir.path());
        test::pairWithBox(*host, box);
    }
    ~PairedBox() { box->stop(); }
    test::TempDir dir;
    std::shared_ptr<boxsim::Box> box;
    std::shared_ptr<BoxHost> host;
};

struct Session {
    Session(const std::shared_ptr<BoxHost>& host, const StreamConfig& config, bool ticks) {
        session = std::make_shared<StreamSession>(host, config, 881448767);
        VideoPipeline::Options options;
        options.allowHardware = false;
        pipeline = VideoPipeline::make(config.codec, session, options);
        if (!ticks) session->videoTick = nullptr;
        pipeline->setOnDecoded([this](const DecodedFrame& frame) {
            lastShown.store(frame.frameIndex);
            shown.fetch_add(1);
        });
    }
    ~Session() {
        session->stop(false);
        pipeline.reset();
        session.reset();
    }
    std::shared_ptr<StreamSession> session;
    std::shared_ptr<VideoPipeline> pipeline;
    std::atomic<std::int64_t> shown{0};
    std::atomic<std::uint32_t> lastShown{0};
};

void Moving(benchmark::State& state) {
    boxsim::Box::Options options;
    options.media.videoLink.lossPercent = double(state.range(0));
    options.media.videoLink.seed = 7;
    for (auto _ : state) {
        PairedBox box(options);
        Session s(box.host, StreamConfig(1280, 720, 60, 10000, StreamConfig::Codec::h264, 2, 1392), state.range(1) != 0);
        s.session->start(false);
        s.pipeline->startWatchdog();
        if (!waitFor([&] { return s.shown > 0; }, 20)) return state.SkipWithError("no picture");
        const auto before = s.pipeline->stats();
        const auto boxBefore = box.box->media().streamStats();
        const auto from = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(run.streamSeconds));
        const double minutes = seconds(from) / 60;
        const auto after = s.pipeline->stats();
        const auto boxAfter = box.box->media().streamStats();
        state.SetIterationTime(seconds(from));
        state.counters["requests"] = double(after.keyframeRequests - before.keyframeRequests) / minutes;
        state.counters["lost"] = double(after.framesLost - before.framesLost) / minutes;
        state.counters["delivered"] = double(after.framesDelivered - before.framesDelivered) / minutes;
        if (boxBefore && boxAfter) state.counters["keyframes"] = double(boxAfter->keyframes - boxBefore->keyframes) / minutes;
    }
}
BENCHMARK(Moving)->ArgNames({"loss", "ticks"})->Args({5, 0})->Args({5, 1})->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void Still(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<double> first, change;
        int shown = 0, changesShown = 0;
        const auto began = Clock::now();
        for (int seed = 1; seed <= run.sessions; ++seed) {
            boxsim::Box::Options options;
            options.media.stillPicture = true;
            options.media.firstFrameIndex = 1;
            options.media.videoLink.lossPercent = double(state.range(0));
            options.media.videoLink.seed = std::uint64_t(seed);
            PairedBox box(options);
            Session s(box.host, StreamConfig(640, 360, 60, 3000, StreamConfig::Codec::h264, 2, 1392), state.range(1) != 0);
            const auto start = Clock::now();
            s.session->start(false);
            s.pipeline->startWatchdog();
            if (!waitFor([&] { return s.shown > 0; }, 10)) continue;
            ++shown;
            first.push_back(seconds(start) * 1000);
            for (int i = 0; i < run.changes; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                const std::uint32_t before = s.lastShown;
                const auto changed = Clock::now();
                box.box->media().changePicture();
                if (waitFor([&] { return s.lastShown != before; }, 2.5)) {
                    ++changesShown;
                    change.push_back(seconds(changed) * 1000);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
        }
        state.SetIterationTime(seconds(began));
        state.counters["shown"] = shown;
        state.counters["first_p50"] = percentile(first, 0.5);
        state.counters["first_max"] = percentile(first, 1);
        state.counters["changes_shown"] = changesShown;
        state.counters["change_max"] = percentile(change, 1);
    }
}
BENCHMARK(Still)->ArgNames({"loss", "ticks"})->Args({20, 0})->Args({20, 1})->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace corvane::stream

int main(int argc, char** argv) {
    using corvane::stream::run;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string prefix = "--benchmark_min_time=";
        if (arg.rfind(prefix, 0) == 0 && std::atof(arg.c_str() + prefix.size()) < 0.5) run = {2, 2, 1};
    }
    if (const char* s = std::getenv("CORVANE_BENCH_SECONDS"); s && run.streamSeconds > 2)
        run.streamSeconds = std::max(1.0, std::atof(s));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
