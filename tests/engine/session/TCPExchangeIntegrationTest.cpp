#include "engine/session/TCPExchange.hpp"
#include "boxsim/session/RtspServer.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <chrono>
#include <thread>

namespace corvane::stream {
namespace {

// One exchange against the box's RTSP server on this test's own loopback address. (The requests themselves
// and a box that stays silent are covered by the session's tests, parsing by RTSPTest.)
class TCPExchangeTest : public ::testing::Test {
protected:
    RTSP::Response send(std::int64_t port = 48010, std::stop_token stop = {}, double limit = 5) {
        const Bytes request = RTSP::request("OPTIONS", "rtsp://" + address + ":48010", 1, {}, {});
        return TCPExchange::send(address, port, request, limit, "OPTIONS", stop);
    }
    std::optional<RTSP::Error> failure(std::int64_t port = 48010, std::stop_token stop = {}, double limit = 5) {
        return test::errorOf<RTSP::Error>([&] { send(port, stop, limit); });
    }
    void reply(const std::string& raw, int splitWrites = 1) {
        boxsim::RtspServer::Faults faults;
        faults.rawReply = raw;
        faults.splitWrites = splitWrites;
        server.setFaults(faults);
    }
    std::string address = test::uniqueLoopbackAddress();
    boxsim::RtspServer server{{.address = address}};
};

TEST_F(TCPExchangeTest, RepliesInPiecesOrOversizedAndTheStatusIsLeftToTheCaller) {
    EXPECT_EQ(failure(), RTSP::Error::connection("Connection refused")); // nothing listens yet
    server.start();
    reply("RTSP/1.0 454 Session Not Found\r\nContent-Length: 3\r\n\r\nabc", 10);
    const auto split = send();
    EXPECT_EQ(std::make_pair(split.status, split.reason), std::make_pair(std::int64_t{454}, std::string("Session Not Found")));
    EXPECT_EQ(std::string(split.body.begin(), split.body.end()), "abc");
    for (const auto& raw : {std::string("RTSP/1.0 200 OK\r\nContent-Length: 999999999\r\n\r\nabc"),
                            std::string(600 * 1024, 'x')}) {
        reply(raw);
        EXPECT_EQ(failure(), RTSP::Error::badResponse("reply larger than 262144 bytes"));
    }
    reply("RTSP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nabc");
    EXPECT_EQ(failure(), RTSP::Error::badResponse("short body"));
}

TEST_F(TCPExchangeTest, PortsOutsideSixteenBitsStopsAndTheTimeLimitEndTheExchange) {
    boxsim::RtspServer::Faults faults;
    faults.silentAttempts = 2;
    server.setFaults(faults);
    server.start();
    // 48010 + 65536 would land on the listening port if it were truncated.
    for (const std::int64_t port : {48010 + 65536, 0, -1})
        EXPECT_EQ(failure(port), RTSP::Error::connection("port " + std::to_string(port) + " is outside 1...65535"));
    EXPECT_EQ(server.connectionsAccepted(), 0);
    std::stop_source stop;
    std::jthread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request_stop();
    });
    EXPECT_EQ(failure(48010, stop.get_token()).value().kind, RTSP::Error::Kind::connection);
    // A box that takes the connection and never answers: its limit covers connecting, sending and waiting.
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(48010, {}, 0.3), RTSP::Error::timeout("OPTIONS"));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(300));
}

} // namespace
} // namespace corvane::stream
