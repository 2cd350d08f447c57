// Memory over a long run: the app's objects as the app builds them (box controller, main window, settings
// window, tray), in this one process, on a virtual display with openbox, against a simulated box run as a
// child process (corvane-boxsim, on a loopback address of its own, so its encoder's memory is not counted),
// through cycles of a compressed day. Every cycle plays each of these once:
//   streaming (pictures shown), the overlay on and off, the clipboard to Windows and from Windows, a file
//   sent from Windows, the settings window opened (every tab) and closed, Windows closed and reopened, the
//   box silent and back, the box stopped and started, the box restarted, this computer forgotten and paired
//   again, the cable out and in;
// then measures the process's resident size (VmRSS of /proc/self/status; RssAnon beside it).
//
// Measured: RSS after each cycle, printed as it comes ("cycle N rss_mb ..."), and as counters (rss_N per
// cycle). Reference: RSS after cycle 3, once caches (fonts, GL driver, thread pools) are warm. Target: over
// the 20 cycles after the third, RSS grows at most 10 MB in all ("growth_mb" at the end, "highest_growth_mb"
// at any cycle; with the full 23 cycles).
//
// The display is 1920x1080 and Windows opens at its size, 30 FPS, H.264. "heap_mb" beside each RSS is what
// malloc has handed out and not had back: RSS that grows while it stays flat is kept by the allocator.
// Cycles: CORVANE_MEMORY_CYCLES or --cycles=N; 23 by default, 1 in the brief run CI makes
// (--benchmark_min_time below 0.5), which then takes about a minute. Every wait is bounded (a step that
// times out is said so and the cycle goes on). CORVANE_MEMORY_TRIM=1 calls malloc_trim(0) before each
// measure; CORVANE_MEMORY_GLIBC_DEFAULTS=1 runs without the app's allocator policy (the reference for it).
// Nothing leaves 127.0.0.0/8: the box and every address the app reaches is the box's loopback one.
#include "app/controller/BoxController.hpp"
#include "app/controller/CableLink.hpp"
#include "app/services/AllocatorPolicy.hpp"
#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/ui/GeneralTab.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "app/ui/TrayMenu.hpp"
#include "app/window/EngineStream.hpp"
#include "bench/VirtualDisplayMain.hpp"
#include "engine/view/StreamView.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "tests/app/window/WindowTestSupport.hpp"
#include "tests/support/OwnedProcess.hpp"

#include <benchmark/benchmark.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTabWidget>
#include <QTest>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace corvane;
using Kind = BoxController::Phase::Kind;

int cycleCount = 23;

// The cable as the bench pulls and plugs it: this computer's end of it is there or not.
class BenchCable final : public CableLink {
public:
    std::optional<std::string> address;
    std::optional<std::string> linkAddress() override { return address; }
    bool bridgeHasSelfAssignedAddress() override { return false; }
    NetworkLink::BridgeStatus bridgeStatus(std::stop_token) override { return {std::string("Thunderbolt Bridge"), true, true}; }
    void fixBridge(const NetworkLink::BridgeStatus&, std::stop_token) override {}
    void assignLinkAddressManually(std::stop_token) override {}
};

// A field of /proc/self/status in MB ("VmRSS", "RssAnon"), or a count ("Threads").
double statusField(const std::string& name) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) {
            const double value = std::atof(line.c_str() + name.size() + 1);
            return name == "Threads" ? value : value / 1024;
        }
    return 0;
}

int openFiles() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// The simulated box as a child process reading its commands from a pipe, its output in a file.
class BoxProcess {
public:
    BoxProcess(const fs::path& folder, const std::string& address) : log_(folder / "boxsim.log") {
        const fs::path fifo = folder / "box-input";
        ::mkfifo(fifo.c_str(), 0600);
        // Held open for reading and writing, so neither end waits for the other and the box never sees the end.
        input_ = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        process_ = std::make_unique<test::OwnedProcess>(
            std::string(CORVANE_BOXSIM_PROGRAM) + " --address " + address +
            " --restart-seconds 3 --power-delay 1 <" + fifo.string() + " >" + log_.string() + " 2>&1");
        (void)QTest::qWaitFor([&] { return output().find("ready") != std::string::npos; }, 30000);
    }
    ~BoxProcess() {
        process_.reset();
        if (input_ >= 0) ::close(input_);
    }
    void command(const std::string& line) {
        const std::string text = line + "\n";
        [[maybe_unused]] const auto written = ::write(input_, text.data(), text.size());
    }
    std::string output() const { return test::readWhole(log_); }

private:
    fs::path log_;
    int input_ = -1;
    std::unique_ptr<test::OwnedProcess> process_;
};

// The app as main() builds it, over the bench's cable and folders.
struct App {
    explicit App(const fs::path& folder, const std::string& address) {
        auto owned = std::make_unique<BenchCable>();
        cable = owned.get();
        cable->address = address.substr(0, address.rfind('.') + 1) + "250";
        auto defaults = std::make_shared<platform::UserDefaults>(folder / "defaults.json");
        defaults->set("Corvane.AskedLoginItem", {true});  // the login question is not what is measured
        controller = std::make_unique<BoxController>(
            BoxController::Environment{Clock::system(), pool, defaults, std::move(owned), folder / "keys"});
        controller->autostartConfigHome = folder / "autostart";
        // The virtual display's screen, as the app's main reads it.
        StreamSettings::setScreenSource([]() -> std::optional<StreamSettings::MainScreen> {
            const QScreen* screen = QGuiApplication::primaryScreen();
            if (!screen) return std::nullopt;
            return StreamSettings::MainScreen{double(screen->size().width()), double(screen->size().height()),
                                              screen->devicePixelRatio(), screen->refreshRate()};
        });
        StreamSettings settings = controller->settings();
        settings.size = StreamSettings::Size::matchScreen;
        settings.codec = StreamSettings::Codec::h264;
        settings.fps = 30;
        settings.autoConnect = true;
        controller->setSettings(settings);
        window = std::make_unique<MainWindow>(*controller);
        controller->mainWindow = window.get();
        settingsWindow = std::make_unique<SettingsWindow>(*controller);
        window->openSettings = [this] { settingsWindow->showAndRaise(); };
        tray = std::make_unique<TrayMenu>(*controller, TrayMenu::Actions{[this] { window->showAndActivate(); },
                                                                          [this] { settingsWindow->showAndRaise(); },
                                                                          [] {}});
        window->setTray(tray.get());
        settingsWindow->general()->setTray(tray.get());
        window->showAndActivate();
        controller->start();
    }
    ~App() {
        controller->shutdown();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        tray.reset();
        settingsWindow.reset();
        window.reset();
        controller.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        pool.requestStop();
        pool.threads()->waitForDone();
        StreamSettings::setScreenSource(nullptr);
    }

    AppPool pool;
    BenchCable* cable = nullptr;
    std::unique_ptr<BoxController> controller;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<SettingsWindow> settingsWindow;
    std::unique_ptr<TrayMenu> tray;
};

// One cycle of the compressed day, each step waited for within its bound.
class Day {
public:
    Day(App& app, BoxProcess& box, fs::path downloads) : app_(app), box_(box), downloads_(std::move(downloads)) {}

    // The stream is open for what needs it; the box goes away once while streaming (restart, the cable)
    // and once while Windows is closed (silent, stopped, forgotten), the loop alone noticing.
    void cycle(int n) {
        streaming("start");
        overlay();
        clipboard(n);
        fileFromWindows(n);
        settingsWindow();
        closeWindows();
        box().openEngineWindow();
        streaming("reopened");
        restart();
        cable();
        closeWindows();
        boxAway("silent");
        boxAway("stop");
        forget();
    }
    int timeouts = 0;

private:
    BoxController& box() { return *app_.controller; }

    // Runs the event loop until `done` or `seconds`; an alert left open is answered as closed (each such
    // alert is printed), so no step waits on a question.
    bool waitFor(const char* what, double seconds, const std::function<bool()>& done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) {
                std::printf("  timed out: %s\n", what);
                ++timeouts;
                return false;
            }
            for (auto* alert : test::shownWindows<QMessageBox>()) {
                std::printf("  alert: %s\n", qPrintable(alert->text()));
                alert->reject();
            }
            QTest::qWait(20);
        }
        return true;
    }

    int shown() {
        auto* view = box().engineStream().view();
        return box().streamOpen() && view ? view->shownTotal() : 0;
    }

    // Windows open and its picture moving. The app reopens by itself after a drop only so many times a run,
    // and an opening that failed waits for Try Again: the user clicks then, as the bench does after 5 s.
    void streaming(const char* after) {
        using Steady = std::chrono::steady_clock;
        std::optional<Steady::time_point> idleSince;
        waitFor(after, 90, [&] {
            if (box().phase().is(Kind::failed)) {
                std::printf("  %s: Try Again after %s\n", after, box().phase().description().c_str());
                box().tryAgain();
            }
            if (box().streamWindowExists() || !box().phase().is(Kind::ready)) {
                idleSince.reset();
            } else if (!idleSince) {
                idleSince = Steady::now();
            } else if (Steady::now() - *idleSince > std::chrono::seconds(5)) {
                box().openEngineWindow();
                idleSince.reset();
            }
            return shown() >= 15;
        });
    }

    void overlay() {
        for (const bool on : {true, false}) {
            StreamSettings settings = box().settings();
            settings.showStats = on;
            settings.detailedStats = on;
            box().setSettings(settings);
            QTest::qWait(1500);
        }
    }

    void clipboard(int n) {
        const QString toWindows = QString("from this computer %1").arg(n);
        QGuiApplication::clipboard()->setText(toWindows);
        waitFor("the clipboard to Windows", 15, [&] {
            box_.command("clipboard");
            QTest::qWait(200);
            return box_.output().find("clipboard " + toWindows.toStdString() + "\n") != std::string::npos;
        });
        const std::string fromWindows = "from Windows " + std::to_string(n);
        box_.command("copy " + fromWindows);
        waitFor("the clipboard from Windows", 15,
                [&] { return QGuiApplication::clipboard()->text().toStdString() == fromWindows; });
    }

    void fileFromWindows(int n) {
        const std::string name = "note-" + std::to_string(n) + ".txt";
        box_.command("send " + name);
        waitFor("a file from Windows", 30, [&] { return fs::exists(downloads_ / name); });
        std::error_code ignored;
        fs::remove(downloads_ / name, ignored);
    }

    void settingsWindow() {
        SettingsWindow& settings = *app_.settingsWindow;
        settings.showAndRaise();
        for (int tab = 0; tab < settings.tabs()->count(); ++tab) {
            settings.tabs()->setCurrentIndex(tab);
            QTest::qWait(150);
        }
        settings.close();
        QTest::qWait(200);
    }

    void closeWindows() {
        if (QWidget* window = box().engineStream().window()) window->close();
        waitFor("Windows closed", 30, [&] { return !box().streamWindowExists(); });
    }

    // While streaming: the session ends, the box comes back after its restart, Windows opens again.
    void restart() {
        box_.command("restart");
        waitFor("the session ended by the restart", 30, [&] { return !box().streamWindowExists(); });
        streaming("the box back from its restart");
    }

    // While Windows is closed: the loop finds the box gone, then back.
    void boxAway(const std::string& how) {
        box_.command(how);
        waitFor(("the box " + how).c_str(), 30, [&] { return !box().boxFound(); });
        box_.command("start");
        waitFor(("the box back from " + how).c_str(), 30, [&] { return box().boxFound(); });
    }

    void forget() {
        box().forgetBox();
        waitFor("forgotten", 30, [&] { return !box().paired(); });
        waitFor("paired again", 60, [&] { return box().paired(); });
    }

    // Pulled while streaming: the window closes; plugged in: Windows opens again.
    void cable() {
        const auto plugged = app_.cable->address;
        app_.cable->address.reset();
        waitFor("the cable out", 30, [&] { return !box().linkUp() && !box().streamWindowExists(); });
        app_.cable->address = plugged;
        streaming("the cable in");
    }

    App& app_;
    BoxProcess& box_;
    fs::path downloads_;
};

struct Sample {
    double rss = 0, anon = 0, heap = 0;
};

// After the last stream's session has stopped on the pool. "heap" is what malloc has handed out and not
// had back: RSS growing while it stays flat is memory the allocator keeps, not memory the app holds.
Sample measure() {
    QTest::qWait(2000);
    if (std::getenv("CORVANE_MEMORY_TRIM")) ::malloc_trim(0);
    const struct mallinfo2 info = ::mallinfo2();
    return {statusField("VmRSS"), statusField("RssAnon"), double(info.uordblks + info.hblkhd) / (1024 * 1024)};
}

void BM_LongRunMemory(benchmark::State& state) {
    const test::TempDir folder;
    const fs::path downloads = folder.path() / "Downloads";
    fs::create_directories(downloads);
    fs::create_directories(folder.path() / "config");
    // Received files go to the bench's own Downloads.
    std::ofstream(folder.path() / "config" / "user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"" << downloads.string()
                                                               << "\"\nXDG_DESKTOP_DIR=\"" << folder.path().string()
                                                               << "\"\n";
    ::setenv("XDG_CONFIG_HOME", (folder.path() / "config").c_str(), 1);
    const std::string address = test::uniqueLoopbackAddress();
    ::setenv("CORVANE_BOX_ADDRESS", address.c_str(), 1);

    for (auto _ : state) {
        BoxProcess boxProcess(folder.path(), address);
        std::vector<Sample> samples;
        int timeouts = 0;
        {
            App app(folder.path(), address);
            Day day(app, boxProcess, downloads);
            const Sample start = measure();
            std::printf("start rss_mb %.1f anon_mb %.1f heap_mb %.1f\n", start.rss, start.anon, start.heap);
            std::fflush(stdout);
            for (int n = 1; n <= cycleCount; ++n) {
                const auto began = std::chrono::steady_clock::now();
                day.cycle(n);
                samples.push_back(measure());
                const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
                const Sample& now = samples.back();
                std::printf("cycle %d rss_mb %.1f anon_mb %.1f heap_mb %.1f threads %.0f fds %d windows %lld seconds %.0f\n",
                            n, now.rss, now.anon, now.heap, statusField("Threads"), openFiles(),
                            static_cast<long long>(QApplication::topLevelWidgets().size()), took);
                std::fflush(stdout);
            }
            timeouts = day.timeouts;
        }
        state.counters["cycles"] = double(samples.size());
        state.counters["timeouts"] = timeouts;
        for (std::size_t i = 0; i < samples.size(); ++i)
            state.counters["rss_" + std::to_string(i + 1)] = samples[i].rss;
        if (!samples.empty()) state.counters["heap_last_mb"] = samples.back().heap;
        if (samples.size() > 3) {
            const double growth = samples.back().rss - samples[2].rss;
            double highest = samples[2].rss;
            for (std::size_t i = 3; i < samples.size(); ++i) highest = std::max(highest, samples[i].rss);
            state.counters["growth_mb"] = growth;
            // One cycle's figure swings with what the allocator happens to keep: the highest counts too.
            state.counters["highest_growth_mb"] = highest - samples[2].rss;
            state.counters["growth_per_cycle_mb"] = growth / double(samples.size() - 3);
            state.SetLabel("RSS growth after cycle 3 over " + std::to_string(samples.size() - 3) +
                           " cycles (target at most 10 MB over 20)");
            std::printf("growth after cycle 3: %.1f MB over %zu cycles, highest %.1f MB\n", growth, samples.size() - 3,
                        highest - samples[2].rss);
        } else {
            state.SetLabel("RSS per cycle; growth needs more than 3 cycles (CORVANE_MEMORY_CYCLES=23)");
        }
    }
}
BENCHMARK(BM_LongRunMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // As the app's main does; CORVANE_MEMORY_GLIBC_DEFAULTS=1 leaves malloc as glibc sets it up, for comparison.
    if (!std::getenv("CORVANE_MEMORY_GLIBC_DEFAULTS")) corvane::AllocatorPolicy::apply();
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--cycles=", 0) == 0) cycleCount = std::max(1, std::atoi(arg.c_str() + 9));
        else args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    const bool brief = corvane::bench::briefRun(count, args.data());
    if (const char* cycles = std::getenv("CORVANE_MEMORY_CYCLES")) cycleCount = std::max(1, std::atoi(cycles));
    else if (brief && cycleCount == 23) cycleCount = 1;
    ::setenv("CORVANE_TEST_SCREEN", "1920x1080x24", 0);  // a common desktop: Windows opens at its size
    corvane::test::WindowEnvironment::ensure();
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    corvane::test::windowEnvironment->TearDown();
    corvane::test::guiEnvironment->TearDown();
    return 0;
}
