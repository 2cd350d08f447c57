// The picture path end to end, on a virtual X display (Xvfb, 3840x2160, Mesa's software OpenGL), the view
// shown on it in a window of the stream's size (1920x1080 or 3840x2160):
// - BoxSendToSwap: the simulated box (in this process, on a loopback address of its own) streams its busy
//   desktop picture in H.264 at 60 frames a second and the bitrate the application picks (1080p encoded
//   live; 4K from a pre-encoded loop of 300 pictures, which this computer cannot encode live), with 0% or
//   5% of the video datagrams dropped on the way; the engine's session, video pipeline and stream view show
//   it. Timed per frame: from the box's last send of the frame's datagrams to the end of the swap that put it
//   on screen, one steady clock on both sides.
//   Reference, measured in the same run: a minimal player at its best (ReferencePlayer) fed by a box of its
//   own in this process, the same picture, size, bitrate, encoder and 60 frames a second, each access unit
//   handed over whole as the box sends it (no network, no assembly): a queue of as many units as the
//   engine's decoder keeps, dropped by the engine's rule when it is full (skip to a keyframe, else drop to
//   the next and ask the box for one), libavcodec alone with the engine's software settings, the newest
//   picture drawn at the same refresh into a plain GL window of the same size: the full-size plane at its
//   nearest texel when shown pixel for pixel, both chroma planes in one texture, one draw. Timed the same:
//   from the box's last send of a frame to the end of the swap that showed it. Ours and the reference take
//   turns (CORVANE_BENCH_TURNS, default 4, at least 3), each warmed up and measured as long, so a change in
//   the machine's load meets both alike; the figures pool every turn, and for the goals each turn's own
//   figure is given too, as the spread over turns (_min, _med, _max).
//   Counters, times in ms:
//     p50, p99 / ref_p50, ref_p99   box send to swap, ours and the reference's, pooled over the turns;
//                                   p99_min/_med/_max, ref_p99_min/_med/_max: each turn's p99
//     p99_over_ref                  our pooled p99 minus the reference's (goal: at most 3); over_ref_min/_med/
//                                   _max: our p99 minus the reference's in each pair of turns
//     shown_pct / ref_shown_pct     frames shown / frames sent in the window (goal: 98 at 0% loss);
//                                   shown_pct_min the worst turn's
//     decode_cpu_ms                 CPU per decoded frame of the decoder's threads (its own and libavcodec's
//                                   slice threads); ref_decode_cpu_ms the same for the reference's decoder,
//                                   ffmpeg_cpu_ms for `ffmpeg -benchmark` decoding the same access units
//                                   from a file with the same threading; decode_x ours/ffmpeg (goal: 1.3)
//     receive_cpu_ms                CPU per assembled frame of the session's receive thread
//                                   ("corvane.media": the socket, reassembly and the hand-over to the decoder);
//                                   the reference has none (its units come whole from its box)
//     main_cpu_ms, render_cpu_ms,   CPU per drawn frame of the main thread, of the view's render thread
//     raster_cpu_ms                 ("corvane.view") with the thread taking up its pictures ahead
//                                   ("corvane.upload"), and of the software rasteriser's threads;
//                                   ref_render_cpu_ms, ref_raster_cpu_ms the reference's
//     late_p99                      how late a 1 ms timer on the main thread came while streaming, 99th
//                                   percentile, pooled (goal: under 5); late_p99_min/_med/_max each turn's;
//                                   idle_late_p99 the same while the main thread only waits (the reference
//                                   playing): what the machine's load adds alone, to a main thread that
//                                   keeps the short time slice the view asked for when it started
//     box_fps, keyframes            what the box sent per second in the windows, and the keyframes
//     <stage>_p50/_p99, ref_<...>   per stage, pooled: net (box send to assembled: network and assembly),
//                                   queue (to the decoder taking it; the reference's from the box's send),
//                                   decode, wait (decoded to taken for drawing: the hand-off and the
//                                   refresh), upload (planes into textures), swap (draw and swap);
//                                   ours' queue in two: submit (assembled to queued: the hand-over on the
//                                   receive thread) and pickup (queued to taken up by the decoder's thread);
//                                   handoff: the wait less what the taker waits for anyway (the swap of
//                                   the frame before, one frame a refresh): what the hand-over costs
//     load                          the machine's load average (1 minute) at the end, this run's own
//                                   threads among it (4K rasterised in software alone fills 8 cores)
// - Relaunch: the session closed and a new one started at once, again and again (50 times), each with the
//   datagrams of an earlier stream (its frames 201 to 203) reaching the new session before its own.
//   "shown" counts the launches whose first picture came within 5 s (goal: all); first_p50/p99 is the time
//   from the start to it (ms).
// With --benchmark_min_time below 0.5 (as CI runs it) every part runs briefly: one turn of a quarter second
// per case, two relaunches. Otherwise CORVANE_BENCH_SECONDS (default 10) of
// streaming per turn. Repeat a run with the same two variables. Each turn's p50, p99, shown and the load
// at its end go to stderr as it ends.
#include "bench/BenchStream.hpp"
#include "bench/BenchSupport.hpp"
#include "bench/ReferencePlayer.hpp"
#include "bench/ThreadCpu.hpp"
#include "bench/VirtualDisplayMain.hpp"
#include "boxsim/Box.hpp"
#include "boxsim/media/VideoPacketizer.hpp"
#include "boxsim/media/VideoSource.hpp"
#include "engine/audio/AudioPipeline.hpp"
#include "engine/session/StreamSession.hpp"
#include "engine/video/VideoDecoder.hpp"
#include "engine/video/VideoPipeline.hpp"
#include "engine/view/StreamView.hpp"
#include "platform/audio/AudioOutput.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

#include <benchmark/benchmark.h>

#include <QScreen>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <unistd.h>

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;
using bench::percentile;
using bench::waitFor;

constexpr std::int64_t appID = 881448767;
constexpr int fps = 60;

// The bitrate the application picks for a size at 60 frames a second.
std::int64_t kbpsFor(int width, int height) {
    return std::min<std::int64_t>(std::int64_t(width) * height * fps * 4 / 10000, 250000);
}

// How long each part runs: short for CI, long enough by hand for a 99th percentile worth reading.
struct RunLength {
    bool full = true;
    double streamSeconds = 10;  // measured, per turn
    int rounds = 4;             // ours and the reference take turns this often
    double warmSeconds = 2;     // streamed before the measuring starts
    int loopFrames = 300;       // the 4K loop
    int relaunches = 50;
    double soundSeconds = 60;
};
RunLength run;

double now() { return stream::uptimeSeconds(); }

double ms(double seconds) { return seconds * 1000; }


// What the box sent: when each frame's last datagram went out (by frame index), and the access units.
class BoxRecord {
public:
    explicit BoxRecord(std::size_t unitsKept) : unitsKept_(unitsKept) {}

    void sent(const boxsim::MediaStreamer::SentFrame& frame) {
        const double at = std::chrono::duration<double>(frame.sentAt.time_since_epoch()).count();
        std::lock_guard guard(lock_);
        if (frame.index >= sentAt_.size()) sentAt_.resize(std::max<std::size_t>(frame.index + 1, 2 * sentAt_.size()), 0);
        sentAt_[frame.index] = at;
        keyframes_ += frame.keyframe;
        if (units_.size() < unitsKept_ && frame.index == units_.size())
            units_.emplace_back(frame.accessUnit.begin(), frame.accessUnit.end());
    }
    // Frame indexes and send times of what went out in [from, to).
    std::map<std::uint32_t, double> sentBetween(double from, double to) const {
        std::lock_guard guard(lock_);
        std::map<std::uint32_t, double> out;
        for (std::size_t i = 0; i < sentAt_.size(); ++i)
            if (sentAt_[i] >= from && sentAt_[i] < to) out.emplace(std::uint32_t(i), sentAt_[i]);
        return out;
    }
    std::vector<Bytes> units() const {
        std::lock_guard guard(lock_);
        return units_;
    }
    std::size_t unitCount() const {
        std::lock_guard guard(lock_);
        return units_.size();
    }
    void reset() {
        std::lock_guard guard(lock_);
        std::fill(sentAt_.begin(), sentAt_.end(), 0);
        units_.clear();
        keyframes_ = 0;
    }
    std::int64_t keyframes() const {
        std::lock_guard guard(lock_);
        return keyframes_;
    }

private:
    const std::size_t unitsKept_;
    mutable std::mutex lock_;
    std::vector<double> sentAt_ = std::vector<double>(4096, 0);
    std::vector<Bytes> units_;
    std::int64_t keyframes_ = 0;
};

// The stream each case measures, started the way the stream window starts it.
struct Stream : bench::BenchStream {
    using BenchStream::BenchStream;

    // Opens a view of `viewSize` and starts a session of `width` x `height` into it; false when it failed.
    // Without a sound output, the stream goes on without sound (`audio` empty).
    bool begin(int width, int height, QSize viewSize, bool resume, bool withSound,
               std::function<void()> onFirstPicture = {}) {
        if (!openView(viewSize, std::move(onFirstPicture))) return false;
        makeSession(stream::StreamConfig(width, height, fps, kbpsFor(width, height), stream::StreamConfig::Codec::h264, 2, 1392),
                    appID, withSound);
        try {
            session->start(resume);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "session did not start: %s\n", error.what());
            return false;
        }
        try {
            if (audio) audio->start();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "no sound: %s\n", error.what());
            audio.reset();
        }
        return true;
    }
};

struct Stage {
    const char* name;
    double (*of)(const stream::StreamView::Presented&, double sentAt);
};
const Stage stages[] = {
    {"net", [](const stream::StreamView::Presented& p, double sent) { return p.assembledAt - sent; }},
    {"queue", [](const stream::StreamView::Presented& p, double) { return p.decodeStartedAt - p.assembledAt; }},
    {"decode", [](const stream::StreamView::Presented& p, double) { return p.decodedAt - p.decodeStartedAt; }},
    {"wait", [](const stream::StreamView::Presented& p, double) { return p.tickAt - p.decodedAt; }},
    {"upload", [](const stream::StreamView::Presented& p, double) { return p.uploadedAt - p.tickAt; }},
    {"swap", [](const stream::StreamView::Presented& p, double) { return p.swappedAt - p.uploadedAt; }},
};

// Each turn's figures as their lowest, median and highest: how far one turn can be trusted.
void spread(benchmark::UserCounters& counters, const std::string& name, std::vector<double> turns) {
    if (turns.empty()) return;
    std::sort(turns.begin(), turns.end());
    counters[name + "_min"] = turns.front();
    counters[name + "_med"] = percentile(turns, 0.5);
    counters[name + "_max"] = turns.back();
}

// The 1-minute load average: how busy the rest of the machine was.

// Decoded to taken for drawing, less the wait for the frame drawn before (its swap, and the one frame a
// refresh the taker allows itself): what the hand-over from the decoder to the taker costs.
template <class Timing>
double handoff(const Timing& frame, const Timing* before, double refresh) {
    double ready = frame.decodedAt;
    if (before) ready = std::max({ready, before->swappedAt, before->tickAt + 0.75 * refresh});
    return frame.tickAt - ready;
}

double ffmpegCpuPerFrame(const std::vector<Bytes>& units, const std::filesystem::path& folder) {
    const auto file = folder / "stream.h264";
    {
        std::ofstream out(file, std::ios::binary);
        for (const auto& unit : units) out.write(reinterpret_cast<const char*>(unit.data()), std::streamsize(unit.size()));
    }
    // The engine's settings: slice threads, as many as libavcodec picks, low delay.
    const auto result = test::runCommand("ffmpeg -hide_banner -nostdin -benchmark -threads 0 -thread_type slice "
                                         "-flags low_delay -f h264 -i '" + file.string() + "' -f null - 2>&1");
    double user = 0, system = 0;
    const auto at = result.output.find("bench: utime=");
    if (result.status != 0 || at == std::string::npos ||
        std::sscanf(result.output.c_str() + at, "bench: utime=%lfs stime=%lfs", &user, &system) != 2)
        return 0;
    return (user + system) / double(std::max<std::size_t>(units.size(), 1));
}

void BoxSendToSwap(benchmark::State& state) {
    const int width = state.range(0) == 2160 ? 3840 : 1920;
    const int height = int(state.range(0));
    const double loss = double(state.range(1));
    const bool loop = height > 1080;
    const QSize viewSize(width, height);
    const double refresh = 1.0 / std::clamp(QGuiApplication::primaryScreen()->refreshRate(), 20.0, 500.0);
    test::TempDir folder;

    // The box keeps the access units of each session's first seconds for ffmpeg.
    const auto warmFrames = std::uint32_t(run.warmSeconds * fps);
    BoxRecord record(warmFrames + std::size_t(run.streamSeconds * fps));
    boxsim::Box::Options options;
    options.media.audio = false;
    options.media.format.picture = boxsim::VideoSource::Picture::desktop;
    options.media.format.loopFrames = loop ? run.loopFrames : 0;
    options.media.videoLink.lossPercent = loss;
    options.onFrameSent = [&record](const boxsim::MediaStreamer::SentFrame& frame) { record.sent(frame); };

    for (auto _ : state) {
        Stream stream(options);
        std::vector<double> total, refTotal, late, idleLate;
        std::vector<std::vector<double>> perStage(std::size(stages)), refStage(std::size(stages));
        std::vector<double> submits, pickups;  // ours' queue stage in two
        std::vector<double> handoffs, refHandoffs;
        // Each turn's own figures, for the spread.
        std::vector<double> turnP99, refTurnP99, turnOverRef, turnLate, turnShown;
        std::size_t sentCount = 0, refDue = 0;
        double measured = 0, decodeCpu = 0, receiveCpu = 0, refDecodeCpu = 0, ffmpeg = 0;
        double mainCpu = 0, renderCpu = 0, rasterCpu = 0, refRenderCpu = 0, refRasterCpu = 0;
        std::size_t drawn = 0, refDrawn = 0;
        std::int64_t decoded = 0, assembled = 0, refDecoded = 0, keyframes = 0;
        bool refDrew = true;
        // Ours and the reference take turns, so a change in the machine's load meets both alike.
        for (int round = 0; round < run.rounds; ++round) {
            record.reset();
            std::map<std::uint32_t, stream::StreamView::Presented> shown;
            double from = 0, to = 0;
            {
                if (!stream.begin(width, height, viewSize, round > 0, false) ||
                    !waitFor([&] { return stream.view->shownTotal() > 0; }, 20)) {
                    state.SkipWithError("no picture");
                    return;
                }
                // Past the start, and for the loop past its first round, which is encoded live.
                const double warmUntil = now() + run.warmSeconds;
                waitFor([&] { return now() > warmUntil && (!loop || record.unitCount() >= std::size_t(run.loopFrames)); },
                        120);

                bench::LatenessProbe probe;
                const auto threadsBefore = bench::threadCpu();
                const auto statsBefore = stream.pipeline->stats();
                from = now();
                // The view keeps its last 1024 frames: collected every few seconds.
                while (now() - from < run.streamSeconds) {
                    waitFor([] { return false; }, std::min(4.0, run.streamSeconds - (now() - from)));
                    for (const auto& p : stream.view->presented()) shown[p.frameIndex] = p;
                }
                to = now();
                late.insert(late.end(), probe.samples().begin(), probe.samples().end());
                turnLate.push_back(probe.percentileMs(0.99));
                const auto threadsAfter = bench::threadCpu();
                const auto statsAfter = stream.pipeline->stats();
                decoded += statsAfter.decoded - statsBefore.decoded;
                assembled += statsAfter.framesDelivered - statsBefore.framesDelivered;
                // The decoder's thread, and libavcodec's slice threads, started by it and named after it.
                decodeCpu += bench::cpuBetween(threadsBefore, threadsAfter,
                                               [](const bench::ThreadCpu& t) { return t.name == "corvane.decode"; });
                receiveCpu += bench::cpuBetween(threadsBefore, threadsAfter,
                                                [](const bench::ThreadCpu& t) { return t.name == "corvane.media"; });
                mainCpu += bench::cpuBetween(threadsBefore, threadsAfter, [](const bench::ThreadCpu& t) { return t.tid == ::getpid(); });
                renderCpu += bench::cpuBetween(threadsBefore, threadsAfter, [](const bench::ThreadCpu& t) {
                    return t.name == "corvane.view" || t.name == "corvane.upload";
                });
                rasterCpu += bench::cpuBetween(threadsBefore, threadsAfter, [](const bench::ThreadCpu& t) {
                    return t.name.rfind("llvmpipe", 0) == 0;
                });
                for (const auto& [index, p] : shown) drawn += p.tickAt >= from && p.tickAt < to;
                // The last frames' swaps.
                waitFor([] { return false; }, 0.1);
                for (const auto& p : stream.view->presented()) shown[p.frameIndex] = p;
                stream.end();
                stream.view.reset();
            }
            measured += to - from;
            keyframes += record.keyframes();

            // Ours: every frame the box sent in the window (all but its last 0.2 s, whose frames may still be
            // on their way), and those of them that reached the screen.
            const auto sent = record.sentBetween(from, to - 0.2);
            sentCount += sent.size();
            const stream::StreamView::Presented* before = nullptr;
            for (const auto& [index, p] : shown) {
                if (sent.count(index) && p.swappedAt > 0) handoffs.push_back(ms(handoff(p, before, refresh)));
                before = &p;
            }
            std::vector<double> turn;
            for (const auto& [index, sentAt] : sent) {
                const auto p = shown.find(index);
                if (p == shown.end() || p->second.swappedAt <= 0) continue;
                turn.push_back(ms(p->second.swappedAt - sentAt));
                for (std::size_t s = 0; s < std::size(stages); ++s)
                    perStage[s].push_back(ms(stages[s].of(p->second, sentAt)));
                submits.push_back(ms(p->second.queuedAt - p->second.assembledAt));
                pickups.push_back(ms(p->second.decodeStartedAt - p->second.queuedAt));
            }
            total.insert(total.end(), turn.begin(), turn.end());
            turnP99.push_back(percentile(turn, 0.99));
            turnShown.push_back(sent.empty() ? 0 : 100.0 * double(turn.size()) / double(sent.size()));

            // The reference: fed as each picture leaves a box of its own in this process (its datagrams go
            // nowhere), warmed up and measured as long as ours. The box's stream to the closed session ends
            // first, so that each runs beside the box's drawing and encoding alone.
            const auto units = record.units();
            if (run.full) stream.box->media().waitForStreaming(false, 10);
            BoxRecord refRecord(0);
            bench::ReferencePlayer reference(viewSize, refresh, stream::VideoDecoder::defaultQueueLimit);
            const bool refStarted = reference.start();
            boxsim::MediaStreamer::Options work = options.media;
            work.format.width = width, work.format.height = height, work.format.fps = fps;
            work.format.bitrateKbps = int(kbpsFor(width, height));
            boxsim::MediaStreamer::Sinks sinks;
            sinks.video = [](ByteView) { return true; };
            sinks.keyframeWanted = [&reference] { return reference.keyframeWanted(); };
            sinks.frameSent = [&refRecord, &reference](const boxsim::MediaStreamer::SentFrame& frame) {
                refRecord.sent(frame);
                reference.receive(frame.index, frame.accessUnit, frame.keyframe,
                                  std::chrono::duration<double>(frame.sentAt.time_since_epoch()).count());
            };
            double refFrom = 0, refTo = 0;
            {
                boxsim::MediaStreamer box(work, sinks);
                box.start();
                // As ours: warmed up from its first picture on.
                waitFor([&] { return reference.drewOnce(); }, 20);
                const double warmUntil = now() + run.warmSeconds;
                waitFor([&] { return now() > warmUntil && (!loop || box.stats().frames >= run.loopFrames); }, 120);
                // The main thread only waits while the reference plays: its timer's lateness is the machine's.
                bench::LatenessProbe idleProbe;
                refFrom = now();
                waitFor([] { return false; }, run.streamSeconds);
                refTo = now();
                idleLate.insert(idleLate.end(), idleProbe.samples().begin(), idleProbe.samples().end());
                box.stop();
            }
            const auto played = reference.stop();
            refDrew = refDrew && refStarted && played.drew;
            refDecoded += played.decoded;
            refDecodeCpu += played.decodeCpuSeconds;
            refRenderCpu += played.renderCpuSeconds;
            refRasterCpu += played.rasterCpuSeconds;
            refDrawn += played.shown.size();
            // As for ours: every frame the box sent in the window but its last 0.2 s, and those shown.
            const auto refSent = refRecord.sentBetween(refFrom, refTo - 0.2);
            refDue += refSent.size();
            std::vector<double> refTurn;
            for (std::size_t i = 0; i < played.shown.size(); ++i) {
                const auto& r = played.shown[i];
                if (!refSent.count(r.index)) continue;
                refHandoffs.push_back(ms(handoff(r, i > 0 ? &played.shown[i - 1] : nullptr, refresh)));
                refTurn.push_back(ms(r.swappedAt - r.sentAt));
                const double values[] = {0, r.decodeStartedAt - r.sentAt, r.decodedAt - r.decodeStartedAt,
                                         r.tickAt - r.decodedAt, r.uploadedAt - r.tickAt, r.swappedAt - r.uploadedAt};
                for (std::size_t s = 0; s < std::size(stages); ++s) refStage[s].push_back(ms(values[s]));
            }
            refTotal.insert(refTotal.end(), refTurn.begin(), refTurn.end());
            refTurnP99.push_back(percentile(refTurn, 0.99));
            turnOverRef.push_back(turnP99.back() - refTurnP99.back());
            std::fprintf(stderr,
                         "%dp loss %.0f%% turn %d: ours p50 %.1f p99 %.1f shown %.1f%%, reference p50 %.1f p99 %.1f "
                         "shown %.1f%% (ms), load %.1f\n",
                         height, loss, round + 1, percentile(turn, 0.5), turnP99.back(), turnShown.back(),
                         percentile(refTurn, 0.5), refTurnP99.back(),
                         refSent.empty() ? 0 : 100.0 * double(refTurn.size()) / double(refSent.size()),
                         bench::loadAverage());
            if (round == 0) ffmpeg = ffmpegCpuPerFrame(units, folder.path());
        }

        state.SetIterationTime(measured);
        auto& c = state.counters;
        c["p50"] = percentile(total, 0.5);
        c["p99"] = percentile(total, 0.99);
        c["ref_p50"] = percentile(refTotal, 0.5);
        c["ref_p99"] = percentile(refTotal, 0.99);
        c["p99_over_ref"] = c["p99"] - c["ref_p99"];
        spread(c, "p99", turnP99);
        spread(c, "ref_p99", refTurnP99);
        spread(c, "over_ref", turnOverRef);
        c["shown_pct"] = sentCount ? 100.0 * double(total.size()) / double(sentCount) : 0;
        c["shown_pct_min"] = turnShown.empty() ? 0 : *std::min_element(turnShown.begin(), turnShown.end());
        c["ref_shown_pct"] = refDue ? 100.0 * double(refTotal.size()) / double(refDue) : 0;
        c["decode_cpu_ms"] = decoded > 0 ? ms(decodeCpu) / double(decoded) : 0;
        c["receive_cpu_ms"] = assembled > 0 ? ms(receiveCpu) / double(assembled) : 0;
        c["ref_decode_cpu_ms"] = refDecoded > 0 ? ms(refDecodeCpu) / double(refDecoded) : 0;
        c["ffmpeg_cpu_ms"] = ms(ffmpeg);
        c["decode_x"] = ffmpeg > 0 ? c["decode_cpu_ms"] / c["ffmpeg_cpu_ms"] : 0;
        c["main_cpu_ms"] = drawn ? ms(mainCpu) / double(drawn) : 0;
        c["render_cpu_ms"] = drawn ? ms(renderCpu) / double(drawn) : 0;
        c["raster_cpu_ms"] = drawn ? ms(rasterCpu) / double(drawn) : 0;
        c["ref_render_cpu_ms"] = refDrawn ? ms(refRenderCpu) / double(refDrawn) : 0;
        c["ref_raster_cpu_ms"] = refDrawn ? ms(refRasterCpu) / double(refDrawn) : 0;
        c["late_p99"] = percentile(late, 0.99);
        spread(c, "late_p99", turnLate);
        c["idle_late_p99"] = percentile(idleLate, 0.99);
        c["box_fps"] = double(sentCount) / std::max(measured - 0.2 * run.rounds, 1e-3);
        c["keyframes"] = double(keyframes);
        for (std::size_t s = 0; s < std::size(stages); ++s) {
            const std::string name = stages[s].name;
            c[name + "_p50"] = percentile(perStage[s], 0.5);
            c[name + "_p99"] = percentile(perStage[s], 0.99);
            c["ref_" + name + "_p50"] = percentile(refStage[s], 0.5);
            c["ref_" + name + "_p99"] = percentile(refStage[s], 0.99);
        }
        c["submit_p50"] = percentile(submits, 0.5);
        c["submit_p99"] = percentile(submits, 0.99);
        c["pickup_p50"] = percentile(pickups, 0.5);
        c["pickup_p99"] = percentile(pickups, 0.99);
        c["load"] = bench::loadAverage();
        c["handoff_p50"] = percentile(handoffs, 0.5);
        c["handoff_p99"] = percentile(handoffs, 0.99);
        c["ref_handoff_p50"] = percentile(refHandoffs, 0.5);
        c["ref_handoff_p99"] = percentile(refHandoffs, 0.99);
        if (!refDrew) state.SetLabel("the reference drew nothing");
    }
}
BENCHMARK(BoxSendToSwap)
    ->ArgNames({"height", "loss"})
    ->Args({1080, 0})
    ->Args({1080, 5})
    ->Args({2160, 0})
    ->Args({2160, 5})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// Datagrams of frames 201 to 203 of an earlier stream of the same picture.
std::vector<Bytes> earlierStream(int width, int height) {
    boxsim::VideoSource::Format format;
    format.width = width, format.height = height, format.picture = boxsim::VideoSource::Picture::desktop;
    boxsim::VideoSource source(format);
    boxsim::VideoPacketizer packetizer(1392, 20);
    std::vector<Bytes> datagrams;
    source.next(true);
    for (std::uint32_t index = 201; index <= 203; ++index) {
        auto frame = source.next(false);
        for (auto& d : packetizer.packetize(frame.accessUnit, index, index * 1500, false)) datagrams.push_back(std::move(d));
    }
    return datagrams;
}

void Relaunch(benchmark::State& state) {
    boxsim::Box::Options options;
    options.media.audio = false;
    options.media.format.picture = boxsim::VideoSource::Picture::desktop;
    options.media.earlierVideo = earlierStream(1920, 1080);
    for (auto _ : state) {
        Stream stream(options);
        int shown = 0;
        std::vector<double> firstPicture;
        const double start = now();
        for (int launch = 0; launch < run.relaunches; ++launch) {
            // The last session closes and the next starts at once, in a window of its own.
            stream.end();
            stream.view.reset();
            const double began = now();
            bool pictured = false;
            if (!stream.begin(1920, 1080, QSize(1920, 1080), launch > 0, false, [&pictured] { pictured = true; })) {
                // No view on screen (no GL at all) or no session: nothing here to count.
                state.SkipWithError("the stream did not start");
                return;
            }
            if (waitFor([&] { return pictured; }, 5)) {
                ++shown;
                firstPicture.push_back(ms(now() - began));
            }
        }
        stream.end();
        state.SetIterationTime(now() - start);
        state.counters["launches"] = run.relaunches;
        state.counters["shown"] = shown;
        state.counters["first_p50"] = percentile(firstPicture, 0.5);
        state.counters["first_p99"] = percentile(firstPicture, 0.99);
    }
}
BENCHMARK(Relaunch)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    if (bench::briefRun(argc, argv)) {
        run.full = false;
        run.streamSeconds = 0.25, run.rounds = 1, run.warmSeconds = 0.1, run.loopFrames = 6, run.relaunches = 2;
    }
    if (const char* seconds = std::getenv("CORVANE_BENCH_SECONDS"); seconds && run.full)
        run.streamSeconds = std::max(1.0, std::atof(seconds));
    if (const char* turns = std::getenv("CORVANE_BENCH_TURNS"); turns && run.full) run.rounds = std::max(3, std::atoi(turns));
    // Large enough for a 4K view.
    return bench::runOnVirtualDisplay(argc, argv, "3840x2160x24");
}
