#pragma once

// A stream window with a simulated box of its own on the test's loopback address, on the shared virtual
// display with openbox.

#include <stdexcept>
#include <QLabel>
#include <qcoro/qcorotask.h>
#include "app/window/EngineStream.hpp"
#include "boxsim/Box.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "tests/app/window/WindowTestSupport.hpp"
#include "tests/support/SimulatedBox.hpp"

namespace corvane::test {

using Endings = std::vector<std::optional<std::string>>;

class StreamWindowIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::WindowEnvironment::ensure();
        qputenv("CORVANE_BOX_ADDRESS", QByteArray::fromStdString(address));
        StreamSettings::setScreenSource([] { return StreamSettings::MainScreen{640, 360, 1, 60}; });
        settings.size = StreamSettings::Size::matchScreen;
        settings.codec = StreamSettings::Codec::h264;
        settings.fps = 30;
        test::markLog();
    }
    void TearDown() override {
        stream.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (box) box->stop();
        StreamSettings::setScreenSource(nullptr);
    }
    void startBox(bool media, const std::function<void(boxsim::Box::Options&)>& tweak = {}, bool pair = true) {
        boxsim::Box::Options options;
        options.address = address;
        options.streamMedia = media;
        options.media.audio = false;
        if (tweak) tweak(options);
        box = std::make_shared<boxsim::Box>(options);
        box->start();
        if (pair) test::pairWithBox(*host, box);
    }
    void makeStream(Clock& clock = Clock::system()) {
        stream = std::make_unique<EngineStream>(clock, pool, defaults);
        stream->onEnded = [this](std::optional<std::string> reason) { endings.push_back(std::move(reason)); };
        stream->onStreamSize = [this](int width, int height) { sizes.push_back({width, height}); };
    }
    // Starts an opening; `done` turns true when it returns or throws (the error is kept).
    QCoro::Task<> opening(bool& done, std::exception_ptr& error) {
        try {
            co_await stream->open(host, settings, boxName);
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
    }
    void open() {
        bool done = false;
        std::exception_ptr error;
        opening(done, error);
        if (!QTest::qWaitFor([&] { return done; }, 60000)) throw std::runtime_error("the opening never ended");
        if (error) std::rethrow_exception(error);
    }
    void openStream(bool media, const std::function<void(boxsim::Box::Options&)>& tweak = {},
                    Clock& clock = Clock::system()) {
        startBox(media, tweak);
        makeStream(clock);
        open();
    }
    bool waitForPictures(int count = 5, int timeoutMs = 30000) {
        return QTest::qWaitFor([&] { return stream->view() && stream->view()->shownTotal() >= count; }, timeoutMs);
    }
    std::vector<std::string> hostCalls() const {
        std::vector<std::string> calls;
        for (const auto& r : box->host().requests())
            if (r.path == "/launch" || r.path == "/resume" || r.path == "/cancel")
                calls.push_back(r.path + (r.item("appid") ? " " + *r.item("appid") : ""));
        return calls;
    }
    std::string winId() const { return std::to_string(stream->window()->winId()); }
    // Whether the start cover over the picture shows this message.
    bool coverSays(const QString& message) const {
        return std::ranges::any_of(stream->view()->findChildren<QLabel*>(), [&](auto* label) { return label->text() == message; });
    }
    test::TempDir dir;
    std::string address = test::uniqueLoopbackAddress();
    std::shared_ptr<boxsim::Box> box;
    std::shared_ptr<stream::BoxHost> host = test::boxHostFor(address, dir.path());
    std::shared_ptr<platform::UserDefaults> defaults =
        std::make_shared<platform::UserDefaults>(dir.path() / "app-defaults.json");
    StreamSettings settings;
    std::optional<std::string> boxName = std::string("Study");
    // As in the app, one pool for the whole run: fire-and-forget requests outlive their stream.
    AppPool& pool = *[] { static AppPool* shared = new AppPool; return shared; }();
    std::unique_ptr<EngineStream> stream;
    Endings endings;
    std::vector<std::pair<int, int>> sizes;
};

}  // namespace corvane::test
