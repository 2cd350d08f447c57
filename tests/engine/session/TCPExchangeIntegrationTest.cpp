#include "engine/session/TCPExchange.hpp"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "boxsim/session/RtspServer.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

// One exchange against the box's RTSP server on this test's own loopback address. (The requests themselves
// and a box that stays silent are covered by the session's tests.)
class TCPExchangeTest : public ::testing::Test {
protected:
    TCPExchangeTest() : address(test::uniqueLoopbackAddress()), server([this] {
        boxsim::RtspServer::Config config;
        config.address = address;
        return config;
    }()) {}

    // The reply, or the error, of one exchange; `port` other than 48010 tests the port check.
    RTSP::Response send(const std::string& method, std::int64_t port = 48010, std::stop_token stop = {}) {
        const Bytes request = RTSP::request(method, "rtsp://" + address + ":48010", 1, {{"Session", "DEADBEEFCAFE"}}, {});
        return TCPExchange::send(address, port, request, 5, method, stop);
    }
    RTSP::Error failure(const std::string& method, std::int64_t port = 48010, std::stop_token stop = {}) {
        try {
            send(method, port, stop);
        } catch (const RTSP::Error& error) {
            return error;
        }
        ADD_FAILURE() << "no error";
        return RTSP::Error::connection("none");
    }

    std::string address;
    boxsim::RtspServer server;
};

TEST_F(TCPExchangeTest, RepliesInPiecesOrMalformedAndTheStatusIsLeftToTheCaller) {
    EXPECT_EQ(failure("OPTIONS"), RTSP::Error::connection("Connection refused")); // nothing listens yet
    boxsim::RtspServer::Faults split;
    split.splitWrites = 40;
    split.statusByMethod["PLAY"] = {454, "Session Not Found"};
    server.setFaults(split);
    server.start();
    const auto describe = send("DESCRIBE");
    EXPECT_EQ(std::string(describe.body.begin(), describe.body.end()), boxsim::RtspServer::Config().describeSdp);
    const auto play = send("PLAY");
    EXPECT_EQ(std::make_pair(play.status, play.reason), std::make_pair(std::int64_t{454}, std::string("Session Not Found")));

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
        EXPECT_EQ(failure("OPTIONS"), RTSP::Error::badResponse(detail)) << detail;
    }
    // Without a length the reply is what came before the box closed the connection.
    boxsim::RtspServer::Faults faults;
    faults.rawReply = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\nall of it";
    server.setFaults(faults);
    const auto reply = send("OPTIONS");
    EXPECT_EQ(std::string(reply.body.begin(), reply.body.end()), "all of it");
}

TEST_F(TCPExchangeTest, PortsOutsideSixteenBitsAndStopsEndTheExchangeAtOnce) {
    boxsim::RtspServer::Faults faults;
    faults.silentAttempts = 1;
    server.setFaults(faults);
    server.start();
    // 48010 + 65536 would land on the listening port if it were truncated.
    for (const std::int64_t port : {48010 + 65536, 0, -1})
        EXPECT_EQ(failure("OPTIONS", port), RTSP::Error::connection("port " + std::to_string(port) + " is outside 1...65535"));
    EXPECT_EQ(server.connectionsAccepted(), 0);

    std::stop_source stop;
    std::jthread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request_stop();
    });
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(failure("OPTIONS", 48010, stop.get_token()).kind, RTSP::Error::Kind::connection);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(4));
}

} // namespace
} // namespace corvane::stream
