// 8 MiB of text through the clipboard sync each way on a virtual X display, against the same bytes moved by
// the tools (xclip reading the clipboard plus curl posting it; curl getting it plus xclip setting and
// reading it). "main cpu ms" is the main thread's CPU time per round: what the sync costs the event loop.
// Run it inside a network namespace of its own: the box binds 127.92.x.1 on its real port.
#include "bench/BenchSupport.hpp"
#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/sharing/SharingManager.hpp"
#include "boxsim/agent/Agent.hpp"
#include "platform/pasteboard/Pasteboard.hpp"
#include "tests/support/XvfbDisplay.hpp"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using corvane::SharingManager;
namespace boxsim = corvane::boxsim;

constexpr std::size_t kBytes = 8u << 20;

// A shell command run beside the event loop, which keeps answering clipboard requests meanwhile.
int runBeside(const std::string& command) {
    auto done = std::async(std::launch::async, [command] { return std::system(command.c_str()); });
    corvane::bench::spinUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return done.get();
}

struct Rig {
    Rig() {
        std::string pattern = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
        dir = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path("/tmp/corvane-bench");
        ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
        address = "127.92." + std::to_string(::getpid() % 250 + 1) + ".1";
        boxsim::Agent::Options o;
        o.address = address;
        agent = std::make_unique<boxsim::Agent>(o);
        agent->start();
        manager = std::make_unique<SharingManager>(clock, pool, corvane::AgentClient(address, 47800));
        corvane::StreamSettings settings;
        settings.receiveFolder = (dir / "in").string();
        corvane::AgentClient::Info info;
        info.sharing = corvane::AgentClient::Info::Sharing{true, std::nullopt};
        manager->update(info, settings);
        tick();  // the baseline
    }
    ~Rig() {
        manager.reset();
        agent.reset();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    void tick() {
        clock.advance(SharingManager::kClipPeriod);
        corvane::bench::spinUntil([&] { return !manager->clipBusy(); });
    }
    fs::path text(char fill) {
        const auto path = dir / "text.txt";
        std::ofstream(path, std::ios::binary) << std::string(kBytes, fill);
        return path;
    }
    std::string url(const std::string& path) const { return "http://" + address + ":47800" + path; }

    fs::path dir;
    std::string address;
    std::unique_ptr<boxsim::Agent> agent;
    corvane::ManualClock clock;
    corvane::AppPool pool;
    std::unique_ptr<SharingManager> manager;
};

Rig& rig() {
    static int argc = 1;
    static char name[] = "bench";
    static char* argv[] = {name, nullptr};
    static corvane::test::XvfbDisplay* display = new corvane::test::XvfbDisplay;
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
        return new QApplication(argc, argv);
    }();
    (void)display;
    (void)app;
    static Rig* made = new Rig;
    return *made;
}

void BM_ClipboardToWindows(benchmark::State& state) {
    auto& r = rig();
    double mainMs = 0;
    char fill = 'a';
    for (auto _ : state) {
        state.PauseTiming();
        const auto before = r.manager->pasteboard().changeCount();
        runBeside("xclip -selection clipboard -i '" + r.text(fill++).string() + "' >/dev/null 2>&1");
        corvane::bench::spinUntil([&] { return r.manager->pasteboard().changeCount() != before; });
        const auto posts = r.agent->seen("POST /v1/user/clipboard").size();
        state.ResumeTiming();
        const double cpu = corvane::bench::threadCpuSeconds();
        r.tick();
        mainMs += (corvane::bench::threadCpuSeconds() - cpu) * 1e3;
        if (r.agent->seen("POST /v1/user/clipboard").size() != posts + 1) state.SkipWithError("nothing was sent");
    }
    state.counters["main cpu ms"] = mainMs / static_cast<double>(state.iterations());
}

void BM_XclipReadAndCurlPost(benchmark::State& state) {
    auto& r = rig();
    const auto body = r.dir / "body.json";
    std::ofstream(body, std::ios::binary) << "{\"type\":\"text\",\"text\":\"" << std::string(kBytes, 'z') << "\"}";
    runBeside("xclip -selection clipboard -i '" + r.text('y').string() + "' >/dev/null 2>&1");
    const auto command = "xclip -selection clipboard -o > '" + (r.dir / "read.txt").string() +
                         "' && curl -sf -o /dev/null -H 'Content-Type: application/json' --data-binary @'" + body.string() +
                         "' '" + r.url("/v1/user/clipboard") + "'";
    for (auto _ : state)
        if (runBeside(command) != 0) state.SkipWithError("xclip or curl failed");
}

void BM_ClipboardFromWindows(benchmark::State& state) {
    auto& r = rig();
    double mainMs = 0;
    char fill = 'A';
    for (auto _ : state) {
        state.PauseTiming();
        r.agent->setWindowsClipboardText(std::string(kBytes, fill++));
        state.ResumeTiming();
        const double cpu = corvane::bench::threadCpuSeconds();
        r.tick();
        mainMs += (corvane::bench::threadCpuSeconds() - cpu) * 1e3;
        // Pasted by another program.
        if (runBeside("xclip -selection clipboard -o > '" + (r.dir / "pasted.txt").string() + "'") != 0)
            state.SkipWithError("xclip failed");
    }
    state.counters["main cpu ms"] = mainMs / static_cast<double>(state.iterations());
}

void BM_CurlGetAndXclipSetRead(benchmark::State& state) {
    auto& r = rig();
    r.agent->setWindowsClipboardText(std::string(kBytes, 'q'));
    const auto text = r.text('q');
    const auto command = "curl -sf -o '" + (r.dir / "got.json").string() + "' '" + r.url("/v1/user/clipboard?since=0") +
                         "' && xclip -selection clipboard -i '" + text.string() +
                         "' >/dev/null 2>&1 && xclip -selection clipboard -o > '" + (r.dir / "pasted.txt").string() + "'";
    for (auto _ : state)
        if (runBeside(command) != 0) state.SkipWithError("curl or xclip failed");
}

BENCHMARK(BM_ClipboardToWindows)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_XclipReadAndCurlPost)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ClipboardFromWindows)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlGetAndXclipSetRead)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
