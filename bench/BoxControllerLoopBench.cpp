// The box controller's loop must never hold up the main thread: a 1 ms timer probes the event loop while
// the loop's passes run back to back (a short breather instead of the 1 s sleep) against a box that is
// stopped (every port refuses), one that is silent (its agent accepts and never answers: each pass waits
// out the agent's 3 s time-out on the pool), and while the engine pairs with a simulated box. "worst ms" is
// the longest the probe came late; the target is under 50 ms. Reference: the same probe on an idle loop,
// nothing else running ("x idle" is worst ms over the idle worst).
#include "bench/BenchSupport.hpp"
#include "app/controller/BoxController.hpp"
#include "app/controller/CableLink.hpp"
#include "boxsim/Box.hpp"
#include "platform/defaults/UserDefaults.hpp"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoroTask>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace corvane;
using Steady = std::chrono::steady_clock;

// Plugged in: the link address is there, the bridge as set up.
class Plugged final : public CableLink {
public:
    explicit Plugged(std::string address) : address_(std::move(address)) {}
    std::optional<std::string> linkAddress() override { return address_; }
    bool bridgeHasSelfAssignedAddress() override { return false; }
    NetworkLink::BridgeStatus bridgeStatus(std::stop_token) override { return {std::string("Thunderbolt Bridge"), true, true}; }
    void fixBridge(const NetworkLink::BridgeStatus&, std::stop_token) override {}
    void assignLinkAddressManually(std::stop_token) override {}

private:
    std::string address_;
};

void runEvents(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int nextBox = 0;

// One controller over a fresh folder, its box on a loopback address of its own.
struct Rig {
    Rig() {
        std::string pattern = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
        dir = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path("/tmp/corvane-bench");
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
            ::setenv(name, (dir / name).c_str(), 1);
        address = "127.93." + std::to_string(::getpid() % 250 + 1) + "." + std::to_string(++nextBox);
        ::setenv("CORVANE_BOX_ADDRESS", address.c_str(), 1);
        boxsim::Box::Options options;
        options.address = address;
        box = std::make_unique<boxsim::Box>(options);
        controller = std::make_unique<BoxController>(BoxController::Environment{
            clock, pool, std::make_shared<platform::UserDefaults>(dir / "defaults.json"),
            std::make_unique<Plugged>(address), dir / "keys"});
        controller->autostartConfigHome = dir / "config";
        StreamSettings settings = controller->settings();
        settings.autoConnect = false;
        controller->setSettings(settings);
    }
    ~Rig() {
        controller.reset();
        box->stop();
        for (const int fd : silent) ::close(fd);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // Passes back to back until `seconds` are over or `done` holds; returns the probe's worst lateness.
    template <class Done>
    double run(double seconds, Done done) {
        corvane::bench::LatenessProbe probe;
        const auto until = Steady::now() + std::chrono::duration<double>(seconds);
        while (Steady::now() < until && !done()) {
            QCoro::waitFor(controller->tick());
            clock.advance(1);
            runEvents(5);
        }
        return probe.worstMs();
    }

    // Ports that accept and never answer: listening, never accepting.
    void makeSilent(std::initializer_list<int> ports) {
        for (const int port : ports) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(static_cast<std::uint16_t>(port));
            ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) ::listen(fd, 64);
            silent.push_back(fd);
        }
    }

    fs::path dir;
    std::string address;
    ManualClock clock;
    AppPool pool;
    std::unique_ptr<boxsim::Box> box;
    std::unique_ptr<BoxController> controller;
    std::vector<int> silent;
};

double idleWorst = 0;

void report(benchmark::State& state, double worst) {
    state.counters["worst ms"] = worst;
    state.counters["x idle"] = idleWorst > 0 ? worst / idleWorst : 0;
    if (worst >= 50) state.SkipWithError("the main thread was held up for 50 ms or more");
}

void BM_IdleLoop(benchmark::State& state) {
    for (auto _ : state) {
        corvane::bench::LatenessProbe probe;
        runEvents(1000);
        idleWorst = probe.worstMs();
    }
    state.counters["worst ms"] = idleWorst;
}

void BM_StoppedBox(benchmark::State& state) {
    for (auto _ : state) {
        Rig rig;
        rig.box->start();
        rig.box->stop();
        report(state, rig.run(3, [] { return false; }));
    }
}

void BM_SilentBox(benchmark::State& state) {
    for (auto _ : state) {
        Rig rig;
        rig.makeSilent({47800, 47989, 47984, 48089});
        report(state, rig.run(3.1, [] { return false; }));  // two passes
    }
}

void BM_Pairing(benchmark::State& state) {
    for (auto _ : state) {
        Rig rig;
        rig.box->start();
        BoxController& controller = *rig.controller;
        const double worst = rig.run(15, [&controller] { return controller.paired(); });
        if (!controller.paired()) state.SkipWithError("did not pair");
        report(state, worst);
    }
}

} // namespace

BENCHMARK(BM_IdleLoop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StoppedBox)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SilentBox)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Pairing)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
