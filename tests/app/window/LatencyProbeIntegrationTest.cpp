// The latency probe against the simulated box's agent port, a closed port and a listener that never
// accepts.
#include "app/window/LatencyProbe.hpp"
#include <chrono>
#include <QTest>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include "boxsim/agent/Agent.hpp"
#include "tests/app/window/WindowTestSupport.hpp"

namespace corvane {
namespace {

TEST(LatencyProbeIntegrationTest, AnswersClosedAndSilentPeers) {
    test::WindowEnvironment::ensure();
    AppPool pool;
    const std::string address = test::uniqueLoopbackAddress();
    // The result and the seconds it took.
    const auto run = [&](std::uint16_t port) {
        const auto start = std::chrono::steady_clock::now();
        const std::optional<double> ms = QCoro::waitFor(LatencyProbe::roundTrip(pool, address, port, 1.0));
        return std::pair{ms, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
    };
    boxsim::Agent::Options options;
    options.address = address;
    boxsim::Agent agent(options);
    agent.start();
    const auto [up, upTook] = run(47800);
    ASSERT_TRUE(up);
    EXPECT_GE(*up, 0.0);
    EXPECT_LT(*up, 1000.0);
    agent.stop();
    // Nothing listens any more: refused at once.
    const auto [closed, closedTook] = run(47800);
    EXPECT_FALSE(closed);
    EXPECT_LT(closedTook, 0.5);
    // A listener with a backlog of 0 already holding one connection it never accepts: the next connection
    // never comes up, and the probe gives up after its second.
    const int listener = socket(AF_INET, SOCK_STREAM, 0), holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{.sin_family = AF_INET, .sin_port = htons(47801), .sin_addr = {inet_addr(address.c_str())}, .sin_zero = {}};
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(connect(holder, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    const auto [silent, silentTook] = run(47801);
    EXPECT_FALSE(silent);
    EXPECT_GE(silentTook, 0.9);
    close(holder), close(listener);
}

}  // namespace
}  // namespace corvane
