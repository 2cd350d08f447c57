// Sound while every other core is busy. The simulated box (in this process, on a loopback address of its
// own) streams its busy desktop picture in H.264, 1920x1080 at 60 frames a second, with stereo sound; the
// engine's session, video pipeline, stream view (on a virtual X display: Xvfb with Mesa's software OpenGL)
// and audio pipeline play it, as the stream window wires them. The sound player is pulled as a sound card
// pulls it: 512 frames every 512/48000 s, by a thread of its own that takes the priority SDL gives its
// audio thread (time-critical) and then what the engine asks for the thread that feeds the sound device.
// The box stands in for a computer of its own: its sound thread ("boxsim.audio") is made real-time where
// this process may, so that this computer's load does not hold back what it sends.
//
// One turn: a new session; 2 s of warm-up; a third of the measured time with nothing else started (the
// reference: what the machine's own load does); then one busy loop per other core, each in a process of its
// own (this program started again with --busy-loop), for the measured time; then the loops end. Turns are
// pooled. Counters, per minute of measured time over all turns; _min and _max are the spread of the turns:
//   underruns_per_min       the sound ran dry while playing (the engine's own count; goal: at most 1)
//   ref_underruns_per_min   the same in the reference windows, without the busy loops
//   gaps_per_min            pauses of 20 ms or more (the player's start threshold) between sound datagrams
//                           reaching the media thread's handler: the box's sending, the network and the
//                           receiving thread together; max_gap_ms the longest
//   card_late_per_min       pulls the card's thread missed by more than a period (it then plays silence; a
//                           fault of the output thread, not counted in underruns)
//   trimmed_ms_per_min      sound dropped for an overfull buffer; lost_per_min packets declared lost
//   busy_processes, turns   the load and how often it was applied
//   load_before             the 1-minute load average as each turn began, before its loops (others' work)
//   shown_fps               pictures the view showed per second in the last turn
// CORVANE_BENCH_SECONDS (default 60) sets the measured seconds of busy loops per turn, CORVANE_BENCH_TURNS
// (default 3, at least 3) the turns. With --benchmark_min_time below 0.5 (as CI runs it) three turns of
// 0.3 s each.
#include "bench/BenchStream.hpp"
#include "bench/BenchSupport.hpp"
#include "bench/VirtualDisplayMain.hpp"
#include "boxsim/Box.hpp"
#include "engine/audio/AudioPipeline.hpp"
#include "engine/session/StreamSession.hpp"
#include "engine/video/VideoPipeline.hpp"
#include "engine/view/StreamView.hpp"
#include "platform/audio/AudioOutput.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

#include <benchmark/benchmark.h>

#include <QApplication>

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;
using bench::waitFor;

constexpr std::int64_t appID = 881448767;
constexpr int fps = 60;
constexpr double gapSeconds = 0.020;

struct RunLength {
    double busySeconds = 60;  // per turn
    double warmSeconds = 2;
    int turns = 3;
};
RunLength run;

double now() { return stream::uptimeSeconds(); }

// Runs the event loop for `seconds`.
void pass(double seconds) {
    const double until = now() + seconds;
    bench::spinUntil([&] { return now() > until; });
}


// One spinning process per core: this program, started again. Ended (SIGKILL) by the destructor, and by the
// kernel should this program die first.
class BusyProcesses {
public:
    explicit BusyProcesses(unsigned count) {
        const std::string parent = std::to_string(::getpid());
        for (unsigned i = 0; i < count; ++i) {
            char self[] = "/proc/self/exe";
            char flag[] = "--busy-loop";
            std::string parentArg = parent;
            char* argv[] = {self, flag, parentArg.data(), nullptr};
            pid_t pid = 0;
            if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, environ) == 0) pids_.push_back(pid);
        }
    }
    ~BusyProcesses() {
        for (const pid_t pid : pids_) ::kill(pid, SIGKILL);
        for (const pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    }
    BusyProcesses(const BusyProcesses&) = delete;
    BusyProcesses& operator=(const BusyProcesses&) = delete;
    std::size_t size() const { return pids_.size(); }

    // The child's side: spins until killed, or at once ends when its parent is gone.
    [[noreturn]] static void spin(const char* parent) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (std::to_string(::getppid()) != parent) ::_exit(0);
        volatile std::uint64_t x = 0;
        for (;;) x = x + 1;
    }

private:
    std::vector<pid_t> pids_;
};

// When sound datagrams reached the media thread's handler: pauses of 20 ms or more, and the longest.
class Arrivals {
public:
    void arrived() {
        const double t = now();
        std::lock_guard guard(lock_);
        if (last_ > 0 && t - last_ >= gapSeconds) ++gaps_;
        if (last_ > 0) longest_ = std::max(longest_, t - last_);
        last_ = t;
    }
    // Counts from here on.
    void reset() {
        std::lock_guard guard(lock_);
        gaps_ = 0;
        longest_ = 0;
    }
    std::int64_t gaps() const {
        std::lock_guard guard(lock_);
        return gaps_;
    }
    double longest() const {
        std::lock_guard guard(lock_);
        return longest_;
    }

private:
    mutable std::mutex lock_;
    double last_ = 0;
    std::int64_t gaps_ = 0;
    double longest_ = 0;
};

// The box's sound thread at real-time priority where this process may: it stands in for another computer.
bool boxSoundRealtime() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::string name;
        std::ifstream(entry.path() / "comm") >> name;
        if (name != "boxsim.audio") continue;
        sched_param param{};
        param.sched_priority = 20;
        return ::sched_setscheduler(std::stoi(entry.path().filename().string()), SCHED_FIFO, &param) == 0;
    }
    return false;
}

// A sound card's pull: 512 frames a period, one period after the other. Woken more than a period late, it
// has missed its turn (a card plays silence then) and goes on from now.
class Card {
public:
    explicit Card(std::shared_ptr<stream::AudioPlayer> player) : player_(std::move(player)) {
        thread_ = std::jthread([this](std::stop_token stop) { pull(stop); });
    }
    std::int64_t late() const { return late_.load(); }

private:
    void pull(const std::stop_token& stop) {
        pthread_setname_np(pthread_self(), "bench.audio");
        // What SDL does for its audio thread before the first callback, then what the engine's output does
        // before the first pull.
        SDL_SetThreadPriority(SDL_THREAD_PRIORITY_TIME_CRITICAL);
        stream::AudioPlayer::prepareOutputThread();
        constexpr std::int64_t frames = platform::AudioOutput::maxFramesPerRender;
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(double(frames) / platform::AudioOutput::sampleRate));
        std::vector<float> out(std::size_t(frames * player_->channels));
        Clock::time_point next = Clock::now();
        while (!stop.stop_requested()) {
            player_->render(out.data(), frames);
            next += period;
            if (Clock::now() > next + period) {
                ++late_;
                next = Clock::now();
            }
            std::this_thread::sleep_until(next);
        }
    }

    const std::shared_ptr<stream::AudioPlayer> player_;
    std::atomic<std::int64_t> late_{0};
    std::jthread thread_;  // last: stopped before the rest goes
};

// A 1080p60 stream with sound, the sound's datagrams counted as they reach the session.
struct Stream : bench::BenchStream {
    using BenchStream::BenchStream;

    // Starts it into a new view; empty when it did not start, else why.
    std::string begin(Arrivals& arrivals) {
        if (!openView(QSize(1920, 1080))) return "no view";
        makeSession(stream::StreamConfig(1920, 1080, fps, 1920 * 1080 * fps * 4 / 10000, stream::StreamConfig::Codec::h264, 2, 1392),
                    appID, true);
        session->audioHandler = [inner = session->audioHandler, &arrivals](ByteView datagram) {
            arrivals.arrived();
            inner(datagram);
        };
        try {
            session->start(false);
            audio->start();
        } catch (const std::exception& error) {
            return error.what();
        }
        if (!audio->player()) return "no sound player";
        return {};
    }
};

struct Window {
    stream::AudioPipeline::Stats before;
    std::int64_t lateBefore = 0;
    double from = 0;

    Window(const Stream& stream, const Card& card, Arrivals& arrivals)
        : before(stream.audio->stats()), lateBefore(card.late()), from(now()) {
        arrivals.reset();
    }
};


void SoundWithCoresBusy(benchmark::State& state) {
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    boxsim::Box::Options options;
    options.media.format.picture = boxsim::VideoSource::Picture::desktop;
    const unsigned others = std::max(2u, std::thread::hardware_concurrency()) - 1;

    for (auto _ : state) {
        double minutes = 0, refMinutes = 0, longestGap = 0, shownFps = 0, load = 0;
        std::int64_t underruns = 0, refUnderruns = 0, gaps = 0, late = 0, trimmed = 0, lost = 0;
        std::vector<double> perTurn;
        bool boxRealtime = true;
        for (int turn = 0; turn < run.turns; ++turn) {
            Arrivals arrivals;
            Stream stream(options);
            if (const std::string failed = stream.begin(arrivals); !failed.empty() ||
                !waitFor([&] { return stream.view->shownTotal() > 0; }, 20)) {
                state.SkipWithError(failed.empty() ? "no picture" : failed.c_str());
                return;
            }
            boxRealtime = boxSoundRealtime() && boxRealtime;
            // SDL's dummy output pulls by whole milliseconds, faster than the sound plays: a card's pace instead.
            const auto player = stream.audio->player();
            player->stop();
            Card card(player);
            pass(run.warmSeconds);
            load += bench::loadAverage();

            Window reference(stream, card, arrivals);
            pass(run.busySeconds / 3);
            const auto referenceEnd = stream.audio->stats();
            refMinutes += (now() - reference.from) / 60;
            refUnderruns += referenceEnd.underruns - reference.before.underruns;

            BusyProcesses busy(others);
            Window measured(stream, card, arrivals);
            pass(run.busySeconds);
            const auto after = stream.audio->stats();
            const double turnMinutes = (now() - measured.from) / 60;
            minutes += turnMinutes;
            underruns += after.underruns - measured.before.underruns;
            perTurn.push_back(double(after.underruns - measured.before.underruns) / turnMinutes);
            trimmed += after.trimmedMs - measured.before.trimmedMs;
            lost += after.lost - measured.before.lost;
            late += card.late() - measured.lateBefore;
            gaps += arrivals.gaps();
            longestGap = std::max(longestGap, arrivals.longest());
            shownFps = stream.view->shownFPS();
            if (busy.size() != others) {
                state.SkipWithError("the busy processes did not start");
                return;
            }
        }
        state.SetIterationTime(minutes * 60);
        auto& c = state.counters;
        c["underruns_per_min"] = double(underruns) / minutes;
        c["underruns_per_min_min"] = *std::min_element(perTurn.begin(), perTurn.end());
        c["underruns_per_min_max"] = *std::max_element(perTurn.begin(), perTurn.end());
        c["ref_underruns_per_min"] = double(refUnderruns) / refMinutes;
        c["gaps_per_min"] = double(gaps) / minutes;
        c["max_gap_ms"] = longestGap * 1000;
        c["card_late_per_min"] = double(late) / minutes;
        c["trimmed_ms_per_min"] = double(trimmed) / minutes;
        c["lost_per_min"] = double(lost) / minutes;
        c["busy_processes"] = others;
        c["turns"] = run.turns;
        c["load_before"] = load / run.turns;
        c["shown_fps"] = shownFps;
        if (!boxRealtime) state.SetLabel("the box's sound thread could not be made real-time");
    }
}
BENCHMARK(SoundWithCoresBusy)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--busy-loop") BusyProcesses::spin(argv[2]);
    if (bench::briefRun(argc, argv)) run.busySeconds = 0.3, run.warmSeconds = 0.1, run.turns = 3;
    if (const char* seconds = std::getenv("CORVANE_BENCH_SECONDS"); seconds && run.busySeconds > 1)
        run.busySeconds = std::max(1.0, std::atof(seconds));
    if (const char* turns = std::getenv("CORVANE_BENCH_TURNS")) run.turns = std::max(3, std::atoi(turns));
    return bench::runOnVirtualDisplay(argc, argv, "1920x1080x24");
}
