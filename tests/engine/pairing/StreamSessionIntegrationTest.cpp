#include "engine/session/StreamSession.hpp"

#include "boxsim/Box.hpp"
#include "engine/EngineLog.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include <pthread.h>

namespace corvane::stream {
namespace {

using namespace std::chrono_literals;
using Message = boxsim::ControlServer::Message;

// The names of this process's threads right now.
std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name)) names.push_back(name);
    }
    return names;
}

bool sessionThreadsRunning() {
    for (const std::string& name : threadNames())
        if (name == "corvane.media" || name == "corvane.control" || name == "corvane.session") return true;
    return false;
}

std::size_t countOf(const std::vector<Message>& messages, std::uint16_t type) {
    return static_cast<std::size_t>(
        std::count_if(messages.begin(), messages.end(), [&](const Message& m) { return m.type == type; }));
}

bool hasMessage(const std::vector<Message>& messages, std::uint16_t type, const Bytes& payload) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const Message& m) { return m.type == type && m.payload == payload && m.sealed; });
}

// Sessions against a whole simulated box on a loopback address of the test's own, paired first.
class StreamSessionIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        EngineLog::setSink([this](const std::string& line) {
            std::lock_guard guard(logMutex);
            log.push_back(line);
        });
        ::unsetenv(StreamSession::encryptionVariable);
    }
    void TearDown() override {
        session.reset();
        ::unsetenv(StreamSession::encryptionVariable);
        EngineLog::setSink(nullptr);
        if (box) box->stop();
    }

    // Starts the box (changed by `change`), pairs with it and makes the session.
    template <class Change = void (*)(boxsim::Box::Options&)>
    void bringUp(Change change = [](boxsim::Box::Options&) {}) {
        boxsim::Box::Options options;
        options.address = address;
        change(options);
        box = std::make_shared<boxsim::Box>(options);
        box->start();
        test::pairWithBox(*host, box);
        session = std::make_unique<StreamSession>(host, config(), 881448767);
    }

    std::size_t logCount(const std::string& line) {
        std::lock_guard guard(logMutex);
        return static_cast<std::size_t>(std::count(log.begin(), log.end(), "[engine] " + line));
    }

    static StreamConfig config() { return StreamConfig(1920, 1080, 60, 20000, StreamConfig::Codec::hevc, 2, 1392); }

    test::TempDir dir;
    std::string address = test::uniqueLoopbackAddress();
    std::shared_ptr<boxsim::Box> box;
    std::shared_ptr<BoxHost> host = test::boxHostFor(address, dir.path());
    std::unique_ptr<StreamSession> session;
    std::mutex logMutex;
    std::vector<std::string> log;
};

TEST_F(StreamSessionIntegrationTest, RunsASessionAndStopsCleanly) {
    bringUp();
    std::mutex videoMutex;
    std::vector<Bytes> video;
    session->videoHandler = [&](ByteView datagram) {
        std::lock_guard guard(videoMutex);
        video.emplace_back(datagram.begin(), datagram.end());
    };
    session->start(false);

    // The handshake, in order, numbered from 1.
    const auto requests = box->rtsp().requests();
    ASSERT_EQ(requests.size(), 7u);
    const std::vector<std::string> methods = {"OPTIONS", "DESCRIBE", "SETUP", "SETUP", "SETUP", "ANNOUNCE", "PLAY"};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].method, methods[i]);
        EXPECT_EQ(requests[i].header("CSeq"), std::to_string(i + 1));
    }
    EXPECT_TRUE(box->rtsp().announceProblems().empty());
    EXPECT_EQ(session->controlEncryption(), ControlCrypto::IVStyle::v2);
    EXPECT_EQ(logCount("session: ports video 47998, audio 48000, control 47999; connect data 305419896; ping "
                       "payloads yes, audio and video payloads different"),
              1u);
    EXPECT_EQ(logCount("session: control encryption v2"), 1u);

    // The control server the launch keyed saw the connect data and the opening messages first, in order.
    auto control = box->control();
    ASSERT_TRUE(control);
    ASSERT_TRUE(control->waitFor([](const auto& m) { return m.size() >= 3; }, 5));
    EXPECT_EQ(control->connectData(), 305419896u);
    const auto opening = control->messages();
    const std::pair<std::uint16_t, Bytes> expected[] = {{0x0305, {0, 0}}, {0x0307, {0}}, {0x0302, {0, 0, 0, 0}}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::make_pair(opening[i].type, opening[i].payload), expected[i]) << i;
        EXPECT_TRUE(opening[i].sealed && opening[i].style == boxsim::ControlServer::NonceStyle::v2) << i;
    }

    // Keep-alives about every 100 ms: counted over a second, with room for a slow machine.
    const std::size_t before = countOf(control->messages(), 0x0200);
    std::this_thread::sleep_for(1s);
    const std::size_t during = countOf(control->messages(), 0x0200) - before;
    EXPECT_GE(during, 5u);
    EXPECT_LE(during, 13u);
    EXPECT_TRUE(hasMessage(control->messages(), 0x0200, Bytes(8, 0)));

    // What the owner sends arrives unchanged.
    const Bytes input = {0x0C, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x41, 0x42, 0xFF, 0x00};
    session->sendInput(input);
    session->requestResize(2560, 1440);
    session->requestKeyframe();
    EXPECT_THROW(session->requestResize(65536, 1440), StreamSession::Error);
    EXPECT_THROW(session->requestResize(2560, -1), StreamSession::Error);
    ASSERT_TRUE(control->waitFor(
        [&](const auto& m) {
            return hasMessage(m, 0x0206, input) && hasMessage(m, 0x5503, Bytes{0x00, 0x0A, 0xA0, 0x05}) &&
                   countOf(m, 0x0302) == 2;
        },
        5));
    EXPECT_EQ(countOf(control->messages(), 0x5503), 1u);
    EXPECT_EQ(control->refused(), 0);

    // The media socket pings the box with the payloads it named, and the box's video comes back.
    ASSERT_TRUE(box->media().waitForPings(1, 1, 5));
    const Bytes videoPing = box->media().videoPings().front();
    EXPECT_EQ(std::string(videoPing.begin(), videoPing.begin() + 16), "VIDEOPINGPAYLOAD");
    ASSERT_TRUE(box->media().sendVideo(Bytes{1, 2, 3}));
    for (int i = 0; i < 100 && session->stats().videoPackets == 0; ++i) std::this_thread::sleep_for(20ms);
    {
        std::lock_guard guard(videoMutex);
        ASSERT_EQ(video.size(), 1u);
        EXPECT_EQ(video[0], (Bytes{1, 2, 3}));
    }

    session->stop(true);
    EXPECT_EQ(logCount("session: stopped and ended on the box"), 1u);
    EXPECT_EQ(box->host().currentGame(), 0);
    EXPECT_TRUE(control->waitClientGone(3));
    EXPECT_FALSE(sessionThreadsRunning());
    EXPECT_EQ(session->stats().videoPackets, 1);

    // A second stop is harmless and logs again.
    session->stop(false);
    EXPECT_EQ(logCount("session: stopped"), 1u);
}

TEST_F(StreamSessionIntegrationTest, RumbleAndTheBoxsDisconnectReachTheOwner) {
    bringUp();
    std::promise<std::tuple<std::int64_t, std::uint16_t, std::uint16_t>> rumble;
    std::atomic<bool> rumbleSeen{false};
    session->onRumble = [&](std::int64_t controller, std::uint16_t low, std::uint16_t high) {
        if (!rumbleSeen.exchange(true)) rumble.set_value({controller, low, high});
    };
    std::promise<std::pair<std::string, std::string>> ended;
    session->onEnded = [&](const std::string& reason) {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        // Stopping right here, on the control thread, must not wait for itself.
        session->stop(false);
        ended.set_value({reason, name});
    };
    session->start(false);
    auto control = box->control();
    ASSERT_TRUE(control);

    control->sendRumble(5, 10000, 20000);
    auto rumbled = rumble.get_future();
    ASSERT_EQ(rumbled.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(rumbled.get(), std::make_tuple(std::int64_t{5}, std::uint16_t{10000}, std::uint16_t{20000}));

    control->disconnect(7);
    auto endedFuture = ended.get_future();
    ASSERT_EQ(endedFuture.wait_for(5s), std::future_status::ready);
    const auto [reason, thread] = endedFuture.get();
    EXPECT_EQ(reason, "the box closed the control channel (7)");
    EXPECT_EQ(thread, "corvane.control");

    session.reset();
    EXPECT_FALSE(sessionThreadsRunning());
}

TEST_F(StreamSessionIntegrationTest, RetriesASilentOptionsAndReleasingStopsEverything) {
    bringUp([](boxsim::Box::Options& o) { o.rtsp.videoPingPayload.reset(); o.rtsp.audioPingPayload.reset(); });
    boxsim::RtspServer::Faults faults;
    faults.silentAttempts = 1;
    box->rtsp().setFaults(faults);
    session->requestKeyframeAtStart = false;
    session->start(false);

    EXPECT_EQ(logCount("session: OPTIONS timed out, trying again"), 1u);
    const auto requests = box->rtsp().requests();
    ASSERT_EQ(requests.size(), 8u);
    EXPECT_FALSE(requests[0].answered);
    EXPECT_EQ(requests[0].raw, requests[1].raw); // the retry sends the same request, CSeq 1
    EXPECT_EQ(requests[2].method, "DESCRIBE");
    EXPECT_EQ(requests[2].header("CSeq"), "2");
    EXPECT_GE(session->timings().rtspMs, 1500);
    EXPECT_EQ(logCount("session: ports video 47998, audio 48000, control 47999; connect data 305419896; ping "
                       "payloads no, audio and video payloads THE SAME"),
              1u);
    ASSERT_TRUE(box->media().waitForPings(1, 1, 5));
    EXPECT_EQ(box->media().audioPings().front(), (Bytes{'P', 'I', 'N', 'G'}));

    auto control = box->control();
    ASSERT_TRUE(control->waitFor([](const auto& m) { return countOf(m, 0x0200) >= 1; }, 5));
    const auto opening = control->messages();
    EXPECT_EQ(opening[0].type, 0x0305);
    EXPECT_EQ(opening[1].type, 0x0307);
    EXPECT_EQ(countOf(opening, 0x0302), 0u);

    // Released without stop: the session stops itself and joins its threads.
    session.reset();
    EXPECT_FALSE(sessionThreadsRunning());
    EXPECT_TRUE(control->waitClientGone(3));
    EXPECT_EQ(logCount("session: stopped"), 1u);
}

TEST_F(StreamSessionIntegrationTest, TheEnvironmentSelectsTheControlEncryption) {
    bringUp();
    ::setenv(StreamSession::encryptionVariable, "v1", 1);
    session->start(false);
    EXPECT_EQ(session->controlEncryption(), ControlCrypto::IVStyle::v1);
    EXPECT_EQ(logCount("WARNING: session: control encryption v1 (legacy, reuses IVs); the box did not offer v2 "
                       "(supported 1, requested 1)"),
              1u);
    auto control = box->control();
    ASSERT_TRUE(control->waitFor([](const auto& m) { return m.size() >= 3; }, 5));
    for (const Message& m : control->messages()) EXPECT_EQ(m.style, boxsim::ControlServer::NonceStyle::v1);
    session->stop(false);

    // Only the exact values count; otherwise the offer decides.
    const std::map<std::string, std::string> offersV2 = {{"x-ss-general.encryptionSupported", "3"},
                                                         {"x-ss-general.encryptionRequested", "1"}};
    const std::map<std::string, std::string> offersV1 = {{"x-ss-general.encryptionSupported", "2"},
                                                         {"x-ss-general.encryptionRequested", "2"}};
    EXPECT_EQ(StreamSession::chooseEncryption(offersV2, "V2"), ControlCrypto::IVStyle::v2);
    EXPECT_EQ(StreamSession::chooseEncryption(offersV1, "V2"), ControlCrypto::IVStyle::v1);
    EXPECT_EQ(StreamSession::chooseEncryption(offersV1, "v2"), ControlCrypto::IVStyle::v2);
    EXPECT_EQ(StreamSession::chooseEncryption({}, nullptr), ControlCrypto::IVStyle::v1);
}

TEST_F(StreamSessionIntegrationTest, AFailedStartLeavesNothingRunning) {
    bringUp([](boxsim::Box::Options& o) { o.controlSilent = true; });
    EXPECT_THROW(session->start(false), ControlChannel::Error);
    // No stop yet: the media socket that was pinging is already gone.
    EXPECT_FALSE(sessionThreadsRunning());
    EXPECT_GE(session->stats().pingsSent, 1);
    session->sendInput(Bytes{1}); // no channel: dropped
    session->stop(true);
    EXPECT_EQ(box->host().currentGame(), 0);
}

TEST_F(StreamSessionIntegrationTest, RefusedRtspAndUnusablePortsFailTheStart) {
    bringUp([](boxsim::Box::Options& o) { o.rtsp.controlPort = 70000; });
    EXPECT_THROW(
        {
            try {
                session->start(false);
            } catch (const RTSP::Error& error) {
                EXPECT_EQ(error.kind, RTSP::Error::Kind::badResponse);
                EXPECT_NE(std::string(error.what()).find("70000"), std::string::npos);
                throw;
            }
        },
        RTSP::Error);
    EXPECT_FALSE(sessionThreadsRunning());

    box->rtsp().stop();
    StreamSession refused(host, config(), 881448767);
    EXPECT_THROW(refused.start(false), RTSP::Error);
    EXPECT_FALSE(sessionThreadsRunning());
}

TEST_F(StreamSessionIntegrationTest, AStopRacingAStartEndsWhatTheStartMakes) {
    // Stopped while the handshake waits on a silent OPTIONS.
    bringUp([](boxsim::Box::Options& o) { o.controlSilent = true; });
    boxsim::RtspServer::Faults faults;
    faults.silentAttempts = 1;
    box->rtsp().setFaults(faults);
    auto starting = std::async(std::launch::async, [&] { session->start(false); });
    std::this_thread::sleep_for(300ms);
    session->stop(false);
    ASSERT_EQ(starting.wait_for(3s), std::future_status::ready);
    EXPECT_THROW(starting.get(), StreamSession::Error);
    EXPECT_FALSE(sessionThreadsRunning());
    EXPECT_THROW(session->start(false), std::logic_error);

    // Stopped while the media socket runs and the control channel waits for a silent host.
    auto second = std::make_unique<StreamSession>(host, config(), 881448767);
    auto secondStarting = std::async(std::launch::async, [&] { second->start(false); });
    ASSERT_TRUE(box->media().waitForPings(1, 1, 5));
    const auto began = std::chrono::steady_clock::now();
    second->stop(true);
    ASSERT_EQ(secondStarting.wait_for(3s), std::future_status::ready);
    EXPECT_THROW(secondStarting.get(), StreamSession::Error);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
    EXPECT_FALSE(sessionThreadsRunning());
    EXPECT_EQ(box->host().currentGame(), 0);

    // Stopped before it starts: the start refuses at once.
    StreamSession third(host, config(), 881448767);
    third.stop(false);
    EXPECT_THROW(third.start(false), StreamSession::Error);
}

} // namespace
} // namespace corvane::stream
