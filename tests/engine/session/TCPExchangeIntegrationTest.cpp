#include "engine/session/TCPExchange.hpp"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "boxsim/session/RtspServer.hpp"
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

TEST_F(TCPExchangeTest, SplitRepliesAreJoinedAndTheStatusIsLeftToTheCaller) {
    boxsim::RtspServer::Faults faults;
    faults.splitWrites = 40;
    faults.statusByMethod["PLAY"] = {454, "Session Not Found"};
    server.setFaults(faults);
    server.start();
    const auto describe = exchange("DESCRIBE", baseURL(), {{"Accept", "application/sdp"}});
    EXPECT_EQ(std::string(describe.body.begin(), describe.body.end()), boxsim::RtspServer::Config().describeSdp);
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

TEST_F(TCPExchangeTest, RefusedPortsAndStopsEndTheExchangeLongBeforeTheTimeout) {
    // Nothing listens yet.
    const auto start = Clock::now();
    EXPECT_EQ(failure("OPTIONS", 5), RTSP::Error::connection("Connection refused"));

    // 48010 + 65536 would land on the listening port if it were truncated.
    boxsim::RtspServer::Faults faults;
    faults.silentAttempts = 1;
    server.setFaults(faults);
    server.start();
    for (const std::int64_t port : {48010 + 65536, 0, -1})
        EXPECT_EQ(failure("OPTIONS", 5, port),
                  RTSP::Error::connection("port " + std::to_string(port) + " is outside 1...65535"));
    EXPECT_EQ(server.connectionsAccepted(), 0);

    // A stop ends an exchange that waits for a silent box.
    std::stop_source stop;
    std::jthread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request_stop();
    });
    try {
        TCPExchange::send(address, 48010, RTSP::request("OPTIONS", baseURL(), 1, {}, {}), 30, "OPTIONS",
                          stop.get_token());
        ADD_FAILURE() << "answered";
    } catch (const RTSP::Error& error) {
        EXPECT_EQ(error.kind, RTSP::Error::Kind::connection);
    }
    EXPECT_LT(secondsSince(start), 5.0);
}

} // namespace
} // namespace corvane::stream
