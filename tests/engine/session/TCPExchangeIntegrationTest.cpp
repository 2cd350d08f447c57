#include "engine/session/TCPExchange.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "boxsim/session/RtspServer.hpp"
#include "engine/session/SDP.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

using Clock = std::chrono::steady_clock;
using Headers = std::vector<std::pair<std::string, std::string>>;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A box RTSP server on this test's own loopback address, and requests built the way the session builds them.
class TCPExchangeTest : public ::testing::Test {
protected:
    TCPExchangeTest() : address(test::uniqueLoopbackAddress()), server(configFor(address)) {}

    static boxsim::RtspServer::Config configFor(const std::string& address) {
        boxsim::RtspServer::Config config;
        config.address = address;
        return config;
    }

    Headers common() const { return {{"X-GS-ClientVersion", "14"}, {"Host", address}}; }
    std::string baseURL() const { return "rtsp://" + address + ":48010"; }

    RTSP::Response exchange(const std::string& method, const std::string& target, Headers headers,
                            const Bytes& body = {}, double timeout = 5) {
        for (auto& header : common()) headers.push_back(header);
        return TCPExchange::send(address, 48010, RTSP::request(method, target, ++cseq, headers, body), timeout, method);
    }

    // The error the exchange throws; fails the test when it returns a reply.
    RTSP::Error failure(const std::string& method, double timeout = 5, std::int64_t port = 48010) {
        try {
            TCPExchange::send(address, port, RTSP::request(method, baseURL(), 1, common(), {}), timeout, method);
        } catch (const RTSP::Error& error) {
            return error;
        }
        ADD_FAILURE() << "no error";
        return RTSP::Error::connection("none");
    }

    std::string address;
    boxsim::RtspServer server;
    std::int64_t cseq = 0;
};

TEST_F(TCPExchangeTest, WholeHandshakeAgainstTheBox) {
    server.start();
    EXPECT_EQ(exchange("OPTIONS", baseURL(), {}).status, 200);

    const auto describe = exchange("DESCRIBE", baseURL(),
                                   {{"Accept", "application/sdp"}, {"If-Modified-Since", "Thu, 01 Jan 1970 00:00:00 GMT"}});
    EXPECT_EQ(describe.status, 200);
    EXPECT_EQ(RTSP::sdpAttributes(describe.body).at("x-ss-general.encryptionSupported"), "1");

    const Headers transport = {{"Transport", "unicast;X-GS-ClientPort=50000-50001"},
                               {"If-Modified-Since", "Thu, 01 Jan 1970 00:00:00 GMT"}};
    const auto audio = exchange("SETUP", "streamid=audio/0/0", transport);
    EXPECT_EQ(audio.header("Session"), "DEADBEEFCAFE;timeout = 90");
    EXPECT_EQ(audio.header("Transport"), "server_port=48000-48001");
    const std::string session = "DEADBEEFCAFE";
    Headers withSession = transport;
    withSession.insert(withSession.begin(), {"Session", session});
    const auto video = exchange("SETUP", "streamid=video/0/0", withSession);
    EXPECT_EQ(video.header("transport"), "server_port=47998-47999");
    EXPECT_EQ(video.header("X-SS-Ping-Payload"), "VIDEOPINGPAYLOAD");
    const auto control = exchange("SETUP", "streamid=control/13/0", withSession);
    EXPECT_EQ(control.header("X-SS-Connect-Data"), "305419896");

    const StreamConfig config(1280, 720, 60, 10000, StreamConfig::Codec::h264, 2, 1392);
    const Bytes offer = SDP::announce(config, "127.0.0.1", 1);
    const auto announce = exchange("ANNOUNCE", "streamid=control/13/0",
                                   {{"Session", session}, {"Content-type", "application/sdp"}}, offer);
    EXPECT_EQ(announce.status, 200);
    EXPECT_EQ(server.announcedSdp(), std::string(offer.begin(), offer.end()));
    EXPECT_TRUE(server.announceProblems().empty());
    EXPECT_EQ(exchange("PLAY", "/", {{"Session", session}}).status, 200);

    // One connection per request, CSeq counting up from 1, the common headers after the request's own.
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(server.connectionsAccepted(), 7);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].header("CSeq"), std::to_string(i + 1));
        EXPECT_EQ(requests[i].headers.front().first, "CSeq");
        auto headers = requests[i].headers;
        if (headers.back().first == "Content-length") headers.pop_back();
        ASSERT_GE(headers.size(), 3u);
        EXPECT_EQ(headers[headers.size() - 2], (std::pair<std::string, std::string>{"X-GS-ClientVersion", "14"}));
        EXPECT_EQ(headers.back(), (std::pair<std::string, std::string>{"Host", address}));
    }
    EXPECT_EQ(requests[5].header("Content-length"), std::to_string(offer.size()));
}

TEST_F(TCPExchangeTest, SilentFirstAttemptTimesOutAndTheRetryIsAnswered) {
    boxsim::RtspServer::Faults faults;
    faults.silentAttempts = 1;
    server.setFaults(faults);
    server.start();

    const auto request = RTSP::request("OPTIONS", baseURL(), 1, common(), {});
    const auto start = Clock::now();
    try {
        TCPExchange::send(address, 48010, request, 1.5, "OPTIONS");
        FAIL() << "the silent attempt was answered";
    } catch (const RTSP::Error& error) {
        EXPECT_EQ(error, RTSP::Error::timeout("OPTIONS"));
        EXPECT_STREQ(error.what(), "OPTIONS timed out");
    }
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 1.45);
    EXPECT_LT(waited, 2.5);

    // The same request again, on a new connection.
    EXPECT_EQ(TCPExchange::send(address, 48010, request, 1.5, "OPTIONS").status, 200);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[0].answered);
    EXPECT_TRUE(requests[1].answered);
    EXPECT_EQ(requests[0].raw, requests[1].raw);
}

TEST_F(TCPExchangeTest, RepliesWrittenInPiecesAreJoined) {
    boxsim::RtspServer::Faults faults;
    faults.splitWrites = 7;
    server.setFaults(faults);
    server.start();
    const auto describe = exchange("DESCRIBE", baseURL(), {{"Accept", "application/sdp"}});
    EXPECT_EQ(describe.status, 200);
    EXPECT_EQ(std::string(describe.body.begin(), describe.body.end()), boxsim::RtspServer::Config().describeSdp);
}

TEST_F(TCPExchangeTest, StatusIsNotJudgedByTheExchange) {
    boxsim::RtspServer::Faults faults;
    faults.statusByMethod["PLAY"] = {454, "Session Not Found"};
    server.setFaults(faults);
    server.start();
    const auto play = exchange("PLAY", "/", {{"Session", "DEADBEEFCAFE"}});
    EXPECT_EQ(play.status, 454);
    EXPECT_EQ(play.reason, "Session Not Found");
}

TEST_F(TCPExchangeTest, MalformedRepliesAreUnreadable) {
    server.start();
    const std::pair<std::string, std::string> rows[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", "bad status line: HTTP/1.1 200 OK"},
        {"RTSP/1.0 200 OK\r\nCSeq: 1\r\n", "no header end"},
        {"RTSP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nabc", "short body"},
        {"RTSP/1.0 200 OK\r\nContent-Length: 999999999\r\n\r\nabc", "reply larger than 262144 bytes"},
        {std::string(600 * 1024, 'x'), "reply larger than 262144 bytes"},
    };
    for (const auto& [reply, detail] : rows) {
        boxsim::RtspServer::Faults faults;
        faults.rawReply = reply;
        server.setFaults(faults);
        const auto error = failure("OPTIONS");
        EXPECT_EQ(error, RTSP::Error::badResponse(detail)) << error.what();
    }

    // Without a length the reply is what came before the box closed the connection.
    boxsim::RtspServer::Faults faults;
    faults.rawReply = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\nall of it";
    server.setFaults(faults);
    const auto reply = exchange("OPTIONS", baseURL(), {});
    EXPECT_EQ(std::string(reply.body.begin(), reply.body.end()), "all of it");
}

TEST_F(TCPExchangeTest, RefusedConnectionFailsLongBeforeTheTimeout) {
    // Nothing listens on this address.
    const auto start = Clock::now();
    const auto error = failure("OPTIONS", 5);
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_EQ(error, RTSP::Error::connection("Connection refused"));

    // A box that has gone away refuses just the same.
    server.start();
    server.stop();
    EXPECT_EQ(failure("DESCRIBE").kind, RTSP::Error::Kind::connection);
}

TEST_F(TCPExchangeTest, PortsOutsideSixteenBitsFailInsteadOfWrapping) {
    // 48010 + 65536 would land on the listening port if it were truncated.
    server.start();
    for (const std::int64_t port : {48010 + 65536, 0, -1}) {
        const auto error = failure("OPTIONS", 5, port);
        EXPECT_EQ(error.kind, RTSP::Error::Kind::connection);
        EXPECT_EQ(error.detail, "port " + std::to_string(port) + " is outside 1...65535");
    }
    EXPECT_EQ(server.connectionsAccepted(), 0);
}

TEST_F(TCPExchangeTest, StopEndsAWaitingExchangeAtOnce) {
    boxsim::RtspServer::Faults faults;
    faults.silentAttempts = 1;
    server.setFaults(faults);
    server.start();
    std::stop_source stop;
    bool sawWorker = false;
    std::jthread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // The exchange waits on its own thread, under the name tools show for it.
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream comm(task.path() / "comm");
            std::string name;
            std::getline(comm, name);
            sawWorker = sawWorker || name == "corvane.rtsp";
        }
        stop.request_stop();
    });
    const auto start = Clock::now();
    try {
        TCPExchange::send(address, 48010, RTSP::request("OPTIONS", baseURL(), 1, {}, {}), 30, "OPTIONS",
                          stop.get_token());
        FAIL() << "answered";
    } catch (const RTSP::Error& error) {
        EXPECT_EQ(error.kind, RTSP::Error::Kind::connection);
    }
    EXPECT_LT(secondsSince(start), 1.0);
    canceller.join();
    EXPECT_TRUE(sawWorker);
}

TEST_F(TCPExchangeTest, BoxRefusesAWrongSessionAndABadOffer) {
    server.start();
    EXPECT_EQ(exchange("SETUP", "streamid=video/0/0", {{"Session", "OTHER"}}).status, 454);
    EXPECT_EQ(exchange("PLAY", "/", {}).status, 454);

    // An offer cut after its attributes, with bare line feeds, is reported and refused.
    const Bytes bad = bytesOf("v=0\no=android 0 14 IN IPv4 1.2.3.4\r\na=x-nv-video[0].maxFPS:sixty\r\n");
    const auto reply = exchange("ANNOUNCE", "streamid=control/13/0",
                                {{"Session", "DEADBEEFCAFE"}, {"Content-type", "application/sdp"}}, bad);
    EXPECT_EQ(reply.status, 400);
    const auto problems = server.announceProblems();
    for (const std::string expected : {"does not start with v=0", "not a number: x-nv-video[0].maxFPS",
                                       "missing x-nv-video[0].packetSize", "no time or video media line"})
        EXPECT_NE(std::find(problems.begin(), problems.end(), expected), problems.end()) << expected;
}

} // namespace
} // namespace corvane::stream
