#include "engine/session/StreamSession.hpp"
#include "boxsim/Box.hpp"
#include "engine/EngineLog.hpp"
#include "engine/session/NetworkHints.hpp"
#include "engine/session/TCPExchange.hpp"
#include "tests/support/RawHttpServer.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/engine/session/Recorder.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

namespace corvane::stream {
namespace {

using Message = boxsim::ControlServer::Message;

// A joined thread stays listed in /proc a moment after its join returns (the kernel wakes the joiner on its
// way out, before it unlists the task), longer on a busy machine: one still listed after 5 s was not joined.
bool sessionThreadsRunning() {
    const auto count = [] {
        return test::threadsNamed("corvane.media") + test::threadsNamed("corvane.control") +
               test::threadsNamed("corvane.session");
    };
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (count() != 0 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return count() != 0;
}

std::size_t countOf(const std::vector<Message>& messages, std::uint16_t type, const Bytes& payload) {
    return static_cast<std::size_t>(std::count_if(messages.begin(), messages.end(), [&](const Message& m) {
        return m.type == type && m.payload == payload && m.sealed;
    }));
}

// The offer for 1920x1080 at 60 fps, 20000 kbps, HEVC, stereo, 1392-byte packets, control encryption v2.
std::string offerFrom(const std::string& client) {
    return "v=0\r\n"
           "o=android 0 14 IN IPv4 " + client + "\r\n"
           "s=Corvane Streaming Client\r\n"
           "a=x-nv-general.serverAddress:rtsp://" + client + ":48010\r\n"
           "a=x-nv-general.featureFlags:0\r\n" "a=x-nv-general.useReliableUdp:13\r\n"
           "a=x-ml-general.featureFlags:0\r\n" "a=x-ss-general.encryptionEnabled:1\r\n"
           "a=x-nv-video[0].clientViewportWd:1920\r\n" "a=x-nv-video[0].clientViewportHt:1080\r\n"
           "a=x-nv-video[0].maxFPS:60\r\n" "a=x-nv-video[0].packetSize:1392\r\n"
           "a=x-nv-video[0].rateControlMode:4\r\n" "a=x-nv-video[0].timeoutLengthMs:7000\r\n"
           "a=x-nv-video[0].framesWithInvalidRefThreshold:0\r\n" "a=x-nv-video[0].maxNumReferenceFrames:1\r\n"
           "a=x-nv-video[0].encoderCscMode:2\r\n" "a=x-nv-video[0].dynamicRangeMode:0\r\n"
           "a=x-nv-video[0].videoEncoderSlicesPerFrame:1\r\n" "a=x-ss-video[0].chromaSamplingType:0\r\n"
           "a=x-ml-video.configuredBitrateKbps:20000\r\n" "a=x-nv-vqos[0].bw.maximumBitrateKbps:20000\r\n"
           "a=x-nv-vqos[0].bw.minimumBitrateKbps:20000\r\n" "a=x-nv-vqos[0].bitStreamFormat:1\r\n"
           "a=x-nv-clientSupportHevc:1\r\n" "a=x-nv-vqos[0].fec.enable:1\r\n"
           "a=x-nv-vqos[0].fec.minRequiredFecPackets:2\r\n" "a=x-nv-vqos[0].bllFec.enable:0\r\n"
           "a=x-nv-vqos[0].drc.enable:0\r\n" "a=x-nv-vqos[0].videoQualityScoreUpdateTime:5000\r\n"
           "a=x-nv-vqos[0].qosTrafficType:5\r\n" "a=x-nv-audio.surround.numChannels:2\r\n"
           "a=x-nv-audio.surround.channelMask:3\r\n" "a=x-nv-audio.surround.enable:0\r\n"
           "a=x-nv-audio.surround.AudioQuality:1\r\n" "a=x-nv-aqos.packetDuration:5\r\n"
           "a=x-nv-aqos.qosTrafficType:4\r\n" "t=0 0\r\n"
           "m=video 47998\r\n";
}

// Sessions against a whole simulated box on a loopback address of the test's own, paired first.
class StreamSessionIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::Recorder::captureLog(recorder);
        ::unsetenv(StreamSession::encryptionVariable);
    }
    void TearDown() override {
        session.reset();
        ::unsetenv(StreamSession::encryptionVariable);
        EngineLog::setSink(nullptr);
        if (box) box->stop();
    }
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
    std::size_t logCount(const std::string& line) { return recorder->countLogs(line); }
    std::size_t cancels() const {
        const auto requests = box->host().requests();
        return static_cast<std::size_t>(
            std::count_if(requests.begin(), requests.end(), [](const auto& r) { return r.path == "/cancel"; }));
    }
    static StreamConfig config() { return StreamConfig(1920, 1080, 60, 20000, StreamConfig::Codec::hevc, 2, 1392); }
    test::TempDir dir;
    std::string address = test::uniqueLoopbackAddress();
    std::shared_ptr<boxsim::Box> box;
    std::shared_ptr<BoxHost> host = test::boxHostFor(address, dir.path());
    std::unique_ptr<StreamSession> session;
    std::shared_ptr<test::Recorder> recorder = std::make_shared<test::Recorder>();
};

TEST_F(StreamSessionIntegrationTest, RunsASessionWithTheExactHandshakeAndStopsCleanly) {
    bringUp();
    std::vector<Bytes> video, audio; // under recorder->lock
    session->videoHandler = [&](ByteView d) { recorder->record([&] { video.emplace_back(d.begin(), d.end()); }); };
    session->audioHandler = [&](ByteView d) { recorder->record([&] { audio.emplace_back(d.begin(), d.end()); }); };
    session->start(false);
    // Every request of the handshake, byte for byte, numbered from 1 with the common headers last.
    const std::string common = "X-GS-ClientVersion: 14\r\nHost: " + address + "\r\n";
    const std::string epoch = "If-Modified-Since: Thu, 01 Jan 1970 00:00:00 GMT\r\n";
    const std::string ports = "Transport: unicast;X-GS-ClientPort=50000-50001\r\n";
    const auto client = NetworkHints::localAddress(address);
    ASSERT_TRUE(client);
    const std::string offer = offerFrom(*client);
    const std::vector<std::string> expected = {
        "OPTIONS rtsp://" + address + ":48010 RTSP/1.0\r\nCSeq: 1\r\n" + common + "\r\n",
        "DESCRIBE rtsp://" + address + ":48010 RTSP/1.0\r\nCSeq: 2\r\nAccept: application/sdp\r\n" + epoch + common +
            "\r\n",
        "SETUP streamid=audio/0/0 RTSP/1.0\r\nCSeq: 3\r\n" + ports + epoch + common + "\r\n",
        "SETUP streamid=video/0/0 RTSP/1.0\r\nCSeq: 4\r\nSession: DEADBEEFCAFE\r\n" + ports + epoch + common + "\r\n",
        "SETUP streamid=control/13/0 RTSP/1.0\r\nCSeq: 5\r\nSession: DEADBEEFCAFE\r\n" + ports + epoch + common +
            "\r\n",
        "ANNOUNCE streamid=control/13/0 RTSP/1.0\r\nCSeq: 6\r\nSession: DEADBEEFCAFE\r\nContent-type: "
        "application/sdp\r\n" + common + "Content-length: " + std::to_string(offer.size()) + "\r\n\r\n" + offer,
        "PLAY / RTSP/1.0\r\nCSeq: 7\r\nSession: DEADBEEFCAFE\r\n" + common + "\r\n",
    };
    const auto requests = box->rtsp().requests();
    ASSERT_EQ(requests.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(requests[i].raw, expected[i]) << i;
    EXPECT_EQ(logCount("session: ports video 47998, audio 48000, control 47999; connect data 305419896; ping "
                       "payloads yes, audio and video payloads different"), 1u);
    EXPECT_EQ(logCount("session: control encryption v2"), 1u);
    EXPECT_EQ(logCount("session: DESCRIBE offers x-nv-general.serverPorts=48000, "
                       "x-ss-general.encryptionRequested=1, x-ss-general.encryptionSupported=1, "
                       "x-ss-general.featureFlags=3"), 1u);
    // The control server saw the connect data and the opening messages first, in order, sealed with v2.
    auto control = box->control();
    ASSERT_TRUE(control);
    // Keep-alives follow every 100 ms: eleven span ten intervals (give or take a stalled thread's batch).
    ASSERT_TRUE(control->waitFor([](const auto& m) { return countOf(m, 0x0200, Bytes(8, 0)) >= 11; }, 5));
    EXPECT_EQ(control->connectData(), 305419896u);
    const auto opening = control->messages();
    const std::pair<std::uint16_t, Bytes> first[] = {{0x0305, {0, 0}}, {0x0307, {0}}, {0x0302, {0, 0, 0, 0}}};
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(std::tuple(opening[i].type, opening[i].payload, opening[i].sealed, opening[i].style),
                  std::tuple(first[i].first, first[i].second, true, boxsim::ControlServer::NonceStyle::v2)) << i;
    std::vector<std::chrono::steady_clock::time_point> kept;
    for (const Message& m : opening) if (m.type == 0x0200) kept.push_back(m.at);
    const std::chrono::duration<double> tenIntervals = kept.at(10) - kept[0];
    EXPECT_GE(tenIntervals.count(), 0.8);
    EXPECT_LE(tenIntervals.count(), 1.6);
    // What the owner sends arrives unchanged; a resize that does not fit 16 bits is refused.
    const Bytes input = {0x0C, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x41, 0x42, 0xFF, 0x00};
    session->sendInput(input);
    session->requestResize(2560, 1440);
    session->requestResize(65535, 0);  // the largest and smallest a 16-bit field holds
    session->requestKeyframe();
    EXPECT_THROW(session->requestResize(65536, 1440), StreamSession::Error);
    EXPECT_THROW(session->requestResize(2560, -1), StreamSession::Error);
    ASSERT_TRUE(control->waitFor(
        [&](const auto& m) {
            return countOf(m, 0x0206, input) == 1 && countOf(m, 0x5503, {0x00, 0x0A, 0xA0, 0x05}) == 1 &&
                   countOf(m, 0x5503, {0xFF, 0xFF, 0x00, 0x00}) == 1 && countOf(m, 0x0302, {0, 0, 0, 0}) == 2;
        },
        5));
    EXPECT_EQ(control->refused(), 0);
    // The audio layouts stay for the audio pipeline; the media socket pings with the payloads the box named,
    // and the box's video and audio come back.
    EXPECT_NE(session->describeBody().find("a=fmtp:97 surround-params=642012453\r\n"), std::string::npos);
    ASSERT_TRUE(box->media().waitForPings(1, 1, 5));
    const Bytes videoPing = box->media().videoPings().front();
    EXPECT_EQ(std::string(videoPing.begin(), videoPing.end()), std::string("VIDEOPINGPAYLOAD\0\0\0\x01", 20));
    ASSERT_TRUE(box->media().sendVideo(Bytes{1, 2, 3}));
    ASSERT_TRUE(box->media().sendAudio(Bytes{4, 5}));
    EXPECT_TRUE(recorder->waitFor(
        [&] { return video == std::vector<Bytes>{Bytes{1, 2, 3}} && audio == std::vector<Bytes>{Bytes{4, 5}}; }));
    session->stop(true);
    EXPECT_EQ(logCount("session: stopped and ended on the box"), 1u);
    EXPECT_EQ(box->host().currentGame(), 0);
    EXPECT_TRUE(control->waitClientGone(3));
    EXPECT_FALSE(sessionThreadsRunning());
    EXPECT_EQ(session->stats().videoPackets, 1);
    // A second stop logs again but ends the application on the box only once.
    session->stop(true);
    EXPECT_EQ(logCount("session: stopped and ended on the box"), 2u);
    EXPECT_EQ(cancels(), 1u);
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
        session->stop(false); // on the control thread: must not wait for itself
        ended.set_value({reason, test::threadName()});
    };
    session->start(false);
    auto control = box->control();
    ASSERT_TRUE(control);
    control->sendRumble(5, 10000, 20000);
    auto rumbled = rumble.get_future();
    ASSERT_EQ(rumbled.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(rumbled.get(), std::make_tuple(std::int64_t{5}, std::uint16_t{10000}, std::uint16_t{20000}));
    control->disconnect(7);
    auto endedFuture = ended.get_future();
    ASSERT_EQ(endedFuture.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(endedFuture.get(), std::make_pair(std::string("the box closed the control channel (7)"),
                                                std::string("corvane.control")));
    session.reset();
    EXPECT_FALSE(sessionThreadsRunning());
}

// Each exchange's limit as the session sets it: OPTIONS, the first contact after launch, 1.5 s for each of
// up to four attempts, every other request 5 s; one that takes 501 ms or more is logged.
TEST_F(StreamSessionIntegrationTest, RetriesASilentOptionsAndReleasingStopsEverything) {
    bringUp([](boxsim::Box::Options& o) {
        o.rtsp.videoPingPayload.reset();
        o.rtsp.audioPingPayload.reset();
        o.rtsp.nameServerPorts = false; // the defaults are the box's ports
    });
    std::vector<std::pair<std::string, double>> limits;
    std::vector<Bytes> options;
    // The session's clock moves only where the box is slow on purpose: from 501 ms an exchange is logged.
    std::atomic<std::int64_t> nowMs{1000};
    session->now = [&] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(nowMs.load())); };
    session->exchange = [&](const std::string& host, std::int64_t port, const Bytes& request, double limit,
                            const std::string& label, std::stop_token stop) {
        limits.emplace_back(label, limit);
        if (label == "OPTIONS") {
            options.push_back(request);
            if (options.size() < 4) throw RTSP::Error::timeout(label);
        }
        if (label == "DESCRIBE") nowMs += 501; // logged
        if (label == "PLAY") nowMs += 500;     // not logged
        return TCPExchange::send(host, port, request, limit, label, stop);
    };
    session->requestKeyframeAtStart = false;
    ::setenv(StreamSession::encryptionVariable, "v1", 1);
    session->start(false);
    EXPECT_EQ(logCount("session: OPTIONS timed out, trying again"), 3u);
    const std::vector<std::pair<std::string, double>> expected = {
        {"OPTIONS", 1.5}, {"OPTIONS", 1.5}, {"OPTIONS", 1.5}, {"OPTIONS", 1.5}, {"DESCRIBE", 5},
        {"SETUP", 5},     {"SETUP", 5},     {"SETUP", 5},     {"ANNOUNCE", 5},  {"PLAY", 5}};
    EXPECT_EQ(limits, expected);
    EXPECT_EQ(options, std::vector<Bytes>(4, options.at(0))); // the retries send the same request, CSeq 1
    EXPECT_EQ(recorder->countLogs("session: RTSP ", false), 1u);
    EXPECT_EQ(recorder->countLogs("session: RTSP DESCRIBE took 501 ms"), 1u);
    EXPECT_EQ(session->timings().rtspMs, 1001);
    EXPECT_EQ(session->timings().totalMs, 1001);
    const auto requests = box->rtsp().requests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[1].header("CSeq"), "2");
    EXPECT_EQ(logCount("session: ports video 47998, audio 48000, control 47999; connect data 305419896; ping "
                       "payloads no, audio and video payloads THE SAME"), 1u);
    ASSERT_TRUE(box->media().waitForPings(1, 1, 5));
    EXPECT_EQ(box->media().audioPings().front(), (Bytes{'P', 'I', 'N', 'G'}));
    // The environment chose v1 although the box offers v2; the box is told so in the offer.
    EXPECT_EQ(session->controlEncryption(), ControlCrypto::IVStyle::v1);
    EXPECT_EQ(logCount("WARNING: session: control encryption v1 (legacy, reuses IVs); the box did not offer v2 "
                       "(supported 1, requested 1)"), 1u);
    EXPECT_NE(requests[5].body.find("a=x-ss-general.encryptionEnabled:0\r\n"), std::string::npos);
    auto control = box->control();
    ASSERT_TRUE(control->waitFor([](const auto& m) { return countOf(m, 0x0200, Bytes(8, 0)) >= 1; }, 5));
    const auto opening = control->messages();
    EXPECT_EQ(opening[0].type, 0x0305);
    EXPECT_EQ(opening[1].type, 0x0307);
    for (const Message& m : opening) {
        EXPECT_NE(m.type, 0x0302);
        EXPECT_EQ(m.style, boxsim::ControlServer::NonceStyle::v1);
    }
    // Released without stop: the session stops itself and joins its threads.
    session.reset();
    EXPECT_FALSE(sessionThreadsRunning());
    EXPECT_TRUE(control->waitClientGone(3));
    EXPECT_EQ(logCount("session: stopped"), 1u);
    // A fourth silent OPTIONS ends the start.
    StreamSession silent(host, config(), 881448767);
    int attempts = 0;
    silent.exchange = [&](auto&&...) -> RTSP::Response {
        ++attempts;
        throw RTSP::Error::timeout("OPTIONS");
    };
    EXPECT_EQ(test::failureOf<RTSP::Error>([&] { silent.start(false); }), "OPTIONS timed out");
    EXPECT_EQ(attempts, 4);
    silent.stop(true);
}

TEST(StreamSessionRules, EncryptionFollowsTheOfferUnlessTheEnvironmentNamesAStyleAndPortsTheTransportHeader) {
    using S = ControlCrypto::IVStyle;
    const struct { const char *supported, *requested, *environment; S style; } rows[] = {
        {"3", "1", nullptr, S::v2}, {"3", "1", "V2", S::v2}, {"2", "2", "V2", S::v1}, {"2", "2", "v2", S::v2},
        {"3", "1", "v1", S::v1},    {"1", "0", nullptr, S::v1}, {nullptr, nullptr, nullptr, S::v1},
    };
    for (const auto& r : rows) {
        std::map<std::string, std::string> offer;
        if (r.supported)
            offer = {{"x-ss-general.encryptionSupported", r.supported}, {"x-ss-general.encryptionRequested", r.requested}};
        EXPECT_EQ(StreamSession::chooseEncryption(offer, r.environment), r.style)
            << (r.supported ? r.supported : "-") << " " << (r.environment ? r.environment : "-");
    }
    const struct { const char* transport; std::int64_t port; } cases[] = {  // port 0: refused
        {"unicast;server_port=47998-47999", 47998},
        {"unicast;client_port=1", 48000},
        {"server_port=x48001", 48000},
        {"server_port=", 48000},
        {"server_port=123456789012345678901234567890", 48000}, // a run too long to parse gives the default
        {"server_port=65535", 65535},
        {"server_port=70000", 0},
        {"server_port=0", 0},
    };
    for (const auto& c : cases) {
        RTSP::Response reply;
        reply.headers["transport"] = c.transport;
        if (c.port == 0)
            EXPECT_THROW(StreamSession::serverPort(reply, 48000, "audio"), RTSP::Error) << c.transport;
        else
            EXPECT_EQ(StreamSession::serverPort(reply, 48000, "audio"), c.port) << c.transport;
    }
    EXPECT_EQ(StreamSession::serverPort(RTSP::Response{}, 47999, "control"), 47999);
}

TEST_F(StreamSessionIntegrationTest, AFailedStartLeavesNothingRunningAndBoxTextCannotForgeLogLines) {
    bringUp([](boxsim::Box::Options& o) {
        o.controlSilent = true;
        o.rtsp.connectData = "1\nsession: forged";
    });
    const auto began = std::chrono::steady_clock::now();
    auto failure = std::async(std::launch::async, [&] {
        return test::failureOf<ControlChannel::Error>([&] { session->start(false); });
    });
    // The control channel is given 5 s to come up. It is asked for right after the media socket starts
    // pinging, so the wait is read from the first ping: a busy machine's slow launch and handshake before it
    // do not count.
    ASSERT_TRUE(box->media().waitForPings(1, 1, 60));
    const auto pinged = std::chrono::steady_clock::now();
    EXPECT_EQ(failure.get(), "the box did not accept the control channel");
    const auto now = std::chrono::steady_clock::now();
    EXPECT_GE(std::chrono::duration<double>(now - began).count(), 5.0);
    EXPECT_LT(std::chrono::duration<double>(now - pinged).count(), 8.0);
    // No stop yet: the media socket that was pinging is already gone.
    EXPECT_FALSE(sessionThreadsRunning());
    EXPECT_GE(session->stats().pingsSent, 1);
    EXPECT_EQ(logCount("session: forged"), 0u);
    EXPECT_EQ(logCount("session: ports video 47998, audio 48000, control 47999; connect data 1\\nsession: "
                       "forged; ping payloads yes, audio and video payloads different"), 1u);
    session->sendInput(Bytes{1}); // no channel: dropped
    session->stop(true);
    EXPECT_EQ(box->host().currentGame(), 0);
    EXPECT_EQ(cancels(), 1u);
}

TEST_F(StreamSessionIntegrationTest, AStopRacingAStartEndsWhatItMakesAndTheApplicationOnce) {
    // Stopped while the media socket runs and the control channel waits for a silent host.
    bringUp([](boxsim::Box::Options& o) { o.controlSilent = true; });
    auto starting = std::async(std::launch::async, [&] { session->start(false); });
    ASSERT_TRUE(box->media().waitForPings(1, 1, 5));
    session->stop(true);
    ASSERT_EQ(starting.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_THROW(starting.get(), StreamSession::Error);
    EXPECT_FALSE(sessionThreadsRunning());
    EXPECT_EQ(box->host().currentGame(), 0);
    EXPECT_EQ(cancels(), 1u);
    EXPECT_THROW(session->start(false), std::logic_error);
    // Stopped before it starts: the start refuses at once.
    StreamSession stopped(host, config(), 881448767);
    stopped.stop(false);
    EXPECT_THROW(stopped.start(false), StreamSession::Error);
}

// A window closed during launch: the session is stopped and released while its start still waits for a
// box that never answers, and the start must then unwind without touching the released session.
TEST(StreamSessionRelease, ASessionReleasedWhileItsStartUnwindsIsNotUsedAfterwards) {
    const std::string address = test::uniqueLoopbackAddress();
    std::promise<void> asked, released;
    // The box reads the launch's first request and never answers it.
    test::RawHttpServer box(address, 48089, [&asked, done = released.get_future().share()](int, const std::string&) {
        asked.set_value();
        done.wait();
    });
    test::TempDir dir;
    auto session = std::make_unique<StreamSession>(test::boxHostFor(address, dir.path()),
                                                   StreamConfig(1280, 720, 60, 5000, StreamConfig::Codec::h264, 2, 1392),
                                                   881448767);
    std::promise<std::string> outcome;
    std::thread starting(
        [&outcome, raw = session.get()] { outcome.set_value(test::failureOf<std::exception>([raw] { raw->start(false); })); });
    EXPECT_EQ(asked.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    session->stop(false);
    session.reset();
    starting.join();
    released.set_value();
    EXPECT_EQ(outcome.get_future().get(), "the session was stopped before it started");
}

} // namespace
} // namespace corvane::stream
