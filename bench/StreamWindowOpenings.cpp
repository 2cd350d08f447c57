// Opens and closes the app's stream window again and again, each time with a live picture from a simulated
// box (in this process, on a loopback address of its own), on a virtual display with openbox: the way a user
// opens and closes a stream, for counting what goes wrong while windows open (see
// scripts/stream-window-aborts.sh, which runs it beside busy loops).
//
//   bench_stream_window_openings [COUNT]     (COUNT windows, 50 when not given; one for any other argument,
//                                             as the brief run of every benchmark passes)
//
// Prints one line per window: "opened N shown K" once it showed K >= 3 pictures (the window is then closed),
// followed by the process's maximum resident size so far ("max_rss_mb") and how long the main thread waited
// while the view's GL first met the window ("first_gl_ms"); "no picture N" when it showed none within 30 s,
// "failed N: reason" when the opening threw; "done N" last, followed by the maximum resident size after the
// first and after the last window and the first window's and the later windows' median GL wait.
// A process that aborts prints no "done"; one with a window that failed or showed nothing exits with 1.
#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/window/EngineStream.hpp"
#include "boxsim/Box.hpp"
#include "engine/view/StreamView.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "tests/app/window/WindowTestSupport.hpp"
#include "tests/support/SimulatedBox.hpp"

#include <qcoro/qcorotask.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

using namespace corvane;

double maxResidentMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024;  // kilobytes on Linux
}

QCoro::Task<> opening(EngineStream& stream, const std::shared_ptr<stream::BoxHost>& host,
                      const StreamSettings& settings, bool& done, std::exception_ptr& error) {
    try {
        co_await stream.open(host, settings, std::string("Study"));
    } catch (...) {
        error = std::current_exception();
    }
    done = true;
}

int run(int count) {
    test::WindowEnvironment::ensure();
    test::TempDir dir;
    const std::string address = test::uniqueLoopbackAddress();
    qputenv("CORVANE_BOX_ADDRESS", QByteArray::fromStdString(address));
    StreamSettings::setScreenSource([] { return StreamSettings::MainScreen{640, 360, 1, 60}; });
    StreamSettings settings;
    settings.size = StreamSettings::Size::matchScreen;
    settings.codec = StreamSettings::Codec::h264;
    settings.fps = 30;

    boxsim::Box::Options options;
    options.address = address;
    options.streamMedia = true;
    options.media.audio = false;
    auto box = std::make_shared<boxsim::Box>(options);
    box->start();
    const auto host = test::boxHostFor(address, dir.path());
    test::pairWithBox(*host, box);
    auto defaults = std::make_shared<platform::UserDefaults>(dir.path() / "app-defaults.json");
    AppPool& pool = *new AppPool;  // as in the app: fire-and-forget requests outlive their stream
    auto stream = std::make_unique<EngineStream>(Clock::system(), pool, defaults);

    int status = 0;
    double firstRss = 0;
    std::vector<double> glWaits;  // ms, one per window that showed pictures
    for (int n = 1; n <= count; ++n) {
        bool done = false;
        std::exception_ptr error;
        opening(*stream, host, settings, done, error);
        if (!QTest::qWaitFor([&] { return done; }, 60000)) {
            std::printf("failed %d: the opening never ended\n", n);
            status = 1;
            break;
        }
        if (error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                std::printf("failed %d: %s\n", n, e.what());
            }
            status = 1;
            std::fflush(stdout);
            continue;
        }
        const bool shown = QTest::qWaitFor(
            [&] { return stream->view() && stream->view()->shownTotal() >= 3; }, 30000);
        if (shown) {
            const double rss = maxResidentMB();
            if (firstRss == 0) firstRss = rss;
            glWaits.push_back(stream->view()->introductionWaited() * 1000);
            std::printf("opened %d shown %d max_rss_mb %.0f first_gl_ms %.1f\n", n, stream->view()->shownTotal(),
                        rss, glWaits.back());
        } else {
            std::printf("no picture %d\n", n);
            status = 1;
        }
        std::fflush(stdout);
        if (QWidget* window = stream->window()) window->close();
        // The old view goes while its session is still being stopped and the decoder may still deliver.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTest::qWait(50);
    }
    stream.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    box->stop();
    StreamSettings::setScreenSource(nullptr);
    double laterWait = 0;
    if (glWaits.size() > 1) {
        std::vector<double> later(glWaits.begin() + 1, glWaits.end());
        std::nth_element(later.begin(), later.begin() + later.size() / 2, later.end());
        laterWait = later[later.size() / 2];
    }
    std::printf("done %d max_rss_mb first %.0f last %.0f first_gl_ms first %.1f later_median %.1f\n", count,
                firstRss, maxResidentMB(), glWaits.empty() ? 0.0 : glWaits.front(), laterWait);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc < 2 ? 50 : std::max(1, std::atoi(argv[1]));
    const int status = run(count);
    // The virtual display and openbox end with the program, as after a test run.
    test::windowEnvironment->TearDown();
    test::guiEnvironment->TearDown();
    return status;
}
