// Files to and from the simulated box through the sharing manager, against curl moving the same bytes to
// and from the same box in the same run (curl -o for receiving, curl -T for sending). One big file (64 MiB,
// or 1 GiB with CORVANE_BENCH_FULL set) and 2,000 files of 4 KiB each way. Run it inside a network
// namespace of its own or on an idle loopback: the box binds 127.91.x.1 on its real port.
// Also the plan of a received item of 60,000 top-level files (the name each gets and where each lands, as
// the receive makes it before the first download while sharing is busy), against one look in the receive
// folder per name: the least a plan that never replaces anything must do.
#include "bench/BenchSupport.hpp"
#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/services/agent/AgentReplies.hpp"
#include "app/sharing/ReceivePlan.hpp"
#include "app/sharing/SharingManager.hpp"
#include "boxsim/agent/Agent.hpp"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using corvane::SharingManager;
namespace boxsim = corvane::boxsim;

std::uint64_t bigBytes() { return std::getenv("CORVANE_BENCH_FULL") ? (1ull << 30) : (64ull << 20); }
constexpr int kSmallFiles = 2000;
constexpr std::size_t kSmallBytes = 4096;
constexpr int kPlanNames = 60000;

// One box, one manager and a folder of files, made once for the whole run.
struct Rig {
    Rig() {
        std::string pattern = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
        dir = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path("/tmp/corvane-bench");
        ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);  // the log stays out of the user's folders
        address = "127.91." + std::to_string(::getpid() % 250 + 1) + ".1";
        boxsim::Agent::Options o;
        o.address = address;
        o.dropFolder = (dir / "box").string();
        o.maxUploadBytes = std::size_t(2) << 30;
        agent = std::make_unique<boxsim::Agent>(o);
        agent->start();
        manager = std::make_unique<SharingManager>(clock, pool, corvane::AgentClient(address, 47800));
        corvane::StreamSettings settings;
        settings.shareClipboard = false;
        settings.receiveFolder = (dir / "in").string();
        corvane::AgentClient::Info info;
        info.sharing = corvane::AgentClient::Info::Sharing{true, std::nullopt};
        manager->update(info, settings);

        big = dir / "big.bin";
        std::ofstream out(big, std::ios::binary);
        const std::string chunk(1 << 20, 'b');
        for (std::uint64_t i = 0; i < bigBytes() >> 20; ++i) out << chunk;
        fs::create_directories(dir / "small");
        for (int i = 0; i < kSmallFiles; ++i) std::ofstream(dir / "small" / ("f" + std::to_string(i))) << std::string(kSmallBytes, 's');
    }
    ~Rig() {
        manager.reset();
        agent.reset();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string url(const std::string& path) const { return "http://" + address + ":47800" + path; }
    void clearOut() {
        std::error_code ignored;
        fs::remove_all(dir / "in", ignored);
        fs::remove_all(dir / "box", ignored);
        fs::remove(dir / "curl.out", ignored);
    }
    void receive(const std::string& id) {
        clock.advance(SharingManager::kOutboxPeriod);
        corvane::bench::spinUntil([&] { return !manager->outboxBusy(); });
        if (manager->hud().failed()) std::abort();
        (void)id;
    }

    fs::path dir, big;
    std::string address;
    std::unique_ptr<boxsim::Agent> agent;
    corvane::ManualClock clock;
    corvane::AppPool pool;
    std::unique_ptr<SharingManager> manager;
    int next = 0;
};

Rig& rig() {
    static int argc = 1;
    static char name[] = "bench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
        return new QApplication(argc, argv);
    }();
    (void)app;
    static Rig* made = new Rig;
    return *made;
}

void BM_ReceiveBigFile(benchmark::State& state) {
    auto& r = rig();
    for (auto _ : state) {
        state.PauseTiming();
        r.clearOut();
        const auto id = "big" + std::to_string(r.next++);
        r.agent->addOutboxItem({id, {{"big.bin", "", std::nullopt}}, {}, {}});
        r.agent->serveOutboxFileFrom(id, "big.bin", r.big.string());
        state.ResumeTiming();
        r.receive(id);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bigBytes()));
}

void BM_CurlGetBigFile(benchmark::State& state) {
    auto& r = rig();
    const std::string id = "curl-get";
    r.agent->addOutboxItem({id, {{"big.bin", "", std::nullopt}}, {}, {}});
    r.agent->serveOutboxFileFrom(id, "big.bin", r.big.string());
    const auto command = "curl -sf -o '" + (r.dir / "curl.out").string() + "' '" +
                         r.url("/v1/user/outbox/" + id + "/file?path=big.bin") + "'";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) state.SkipWithError("curl failed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bigBytes()));
}

void BM_SendBigFile(benchmark::State& state) {
    auto& r = rig();
    for (auto _ : state) {
        state.PauseTiming();
        r.clearOut();
        state.ResumeTiming();
        r.manager->send({r.big});
        corvane::bench::spinUntil([&] { return !r.manager->transferBusy(); });
        if (r.manager->hud().failed()) state.SkipWithError(r.manager->hud().title().c_str());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bigBytes()));
}

void BM_CurlPutBigFile(benchmark::State& state) {
    auto& r = rig();
    for (auto _ : state) {
        state.PauseTiming();
        r.clearOut();
        const auto begin = "curl -sf -o /dev/null -X POST -H 'Content-Type: application/json' -d '{\"names\":[\"big.bin\"]}' '" +
                           r.url("/v1/user/drop") + "'";
        if (std::system(begin.c_str()) != 0) state.SkipWithError("curl drop failed");
        const auto id = r.agent->drops().back().id;
        const auto put = "curl -sf -o /dev/null -H 'Content-Type: application/octet-stream' -T '" + r.big.string() + "' '" +
                         r.url("/v1/user/drop/" + id + "/file?path=big.bin") + "'";
        state.ResumeTiming();
        if (std::system(put.c_str()) != 0) state.SkipWithError("curl put failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bigBytes()));
}

void BM_ReceiveSmallFiles(benchmark::State& state) {
    auto& r = rig();
    for (auto _ : state) {
        state.PauseTiming();
        r.clearOut();
        const auto id = "small" + std::to_string(r.next++);
        boxsim::Agent::OutboxEntry entry{id, {}, {}, {}};
        for (int i = 0; i < kSmallFiles; ++i)
            entry.files.push_back({"Small/f" + std::to_string(i), std::string(kSmallBytes, 's'), std::nullopt});
        r.agent->addOutboxItem(entry);
        state.ResumeTiming();
        r.receive(id);
    }
    state.counters["files/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kSmallFiles), benchmark::Counter::kIsRate);
}

void BM_SendSmallFiles(benchmark::State& state) {
    auto& r = rig();
    for (auto _ : state) {
        state.PauseTiming();
        r.clearOut();
        state.ResumeTiming();
        r.manager->send({r.dir / "small"});
        corvane::bench::spinUntil([&] { return !r.manager->transferBusy(); });
        if (r.manager->hud().failed()) state.SkipWithError(r.manager->hud().title().c_str());
    }
    state.counters["files/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kSmallFiles), benchmark::Counter::kIsRate);
}

corvane::AgentClient::OutboxItem manyNames() {
    corvane::AgentClient::OutboxItem item;
    item.id = "many";
    for (int i = 0; i < kPlanNames; ++i) item.files.push_back({"photo " + std::to_string(i) + ".jpg", 1});
    item.totalBytes = kPlanNames;
    return item;
}

void BM_PlanManyNames(benchmark::State& state) {
    auto& r = rig();
    r.clearOut();
    fs::create_directories(r.dir / "in");
    const auto item = manyNames();
    for (auto _ : state) {
        auto plan = corvane::ReceivePlan::make(item, r.dir / "in");
        auto leftOut = plan.leftOut(item);
        benchmark::DoNotOptimize(plan);
        benchmark::DoNotOptimize(leftOut);
    }
    state.counters["names/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kPlanNames), benchmark::Counter::kIsRate);
}

void BM_LookUpManyNames(benchmark::State& state) {
    auto& r = rig();
    r.clearOut();
    fs::create_directories(r.dir / "in");
    const auto item = manyNames();
    for (auto _ : state) {
        for (const auto& file : item.files) {
            std::error_code ignored;
            benchmark::DoNotOptimize(fs::symlink_status(r.dir / "in" / file.path, ignored));
        }
    }
    state.counters["names/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kPlanNames), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_ReceiveBigFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlGetBigFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SendBigFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlPutBigFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReceiveSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SendSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlanManyNames)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LookUpManyNames)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
