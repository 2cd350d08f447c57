#include "engine/session/ControlChannel.hpp"
#include "boxsim/session/ControlServer.hpp"
#include "tests/support/TestSupport.hpp"
#include "tests/engine/session/Recorder.hpp"
#include <gtest/gtest.h>
#include <atomic>
#include <limits>
#include <memory>

namespace corvane::stream {
namespace {

using boxsim::ControlServer;
using Style = ControlCrypto::IVStyle;

const Bytes kKey{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

class ControlChannelTest : public ::testing::Test {
protected:
    void SetUp() override { test::Recorder::captureLog(seenOwner); }
    void TearDown() override { EngineLog::setSink(nullptr); }
    void startServer(ControlServer::NonceStyle style = ControlServer::NonceStyle::v2) {
        server = std::make_unique<ControlServer>(ControlServer::Options{address, 47999, kKey, style, false});
        server->start();
    }
    // A channel asking for v2, connected unless the test has more to set first.
    std::unique_ptr<ControlChannel> makeChannel(bool connected = true) {
        auto channel = std::make_unique<ControlChannel>(address, 47999, 0xC0FFEE01u, kKey, Style::v2);
        channel->onMessage = [this](std::uint16_t type, const Bytes& payload) {
            seen.record([&] { messages.emplace_back(type, payload); });
        };
        channel->onDisconnect = [this](const std::string& reason) { seen.record([&] { disconnects.push_back(reason); }); };
        if (connected) channel->connect(5);
        return channel;
    }
    std::string address = test::uniqueLoopbackAddress();
    std::unique_ptr<ControlServer> server;
    std::shared_ptr<test::Recorder> seenOwner = std::make_shared<test::Recorder>();
    test::Recorder& seen = *seenOwner;
    std::vector<std::pair<std::uint16_t, Bytes>> messages; // under seen.lock
    std::vector<std::string> disconnects;                   // under seen.lock
};

// The opening messages, sealed and in order, a silent host and a stop while connecting are checked end to
// end in StreamSessionIntegrationTest.
TEST_F(ControlChannelTest, TamperedMessagesAreRefusedCountedAndNeverDelivered) {
    startServer();
    auto channel = makeChannel();
    // ENet pings the box every 500 ms and gives a silent box up after 5 to 10 s (32 unanswered round trips).
    const auto peer = channel->peerSettings();
    EXPECT_EQ(std::tuple(peer.pingIntervalMs, peer.timeoutLimit, peer.timeoutMinimumMs, peer.timeoutMaximumMs),
              std::tuple(500u, 32u, 5000u, 10000u));
    server->sendRumble(5, 10000, 20000);
    ControlCrypto box(kKey, Style::v2);
    for (std::uint32_t seq = 1; seq <= 5; ++seq) {
        Bytes sealed = box.seal(0x010B, Bytes(10, 0x22), seq, true);
        sealed.back() ^= 0x01;
        server->sendRaw(sealed);
    }
    server->sendPlain(0x010B, Bytes(10, 0x01)); // plain messages are accepted on an encrypted channel too
    ASSERT_TRUE(seen.waitFor([&] { return messages.size() >= 2; }));
    {
        std::lock_guard guard(seen.lock);
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0], (std::pair<std::uint16_t, Bytes>{0x010B, {0, 0, 0, 0, 5, 0, 0x10, 0x27, 0x20, 0x4E}}));
        EXPECT_EQ(messages[1].second, Bytes(10, 0x01));
        EXPECT_EQ(seen.threads, std::vector<std::string>(2, "corvane.control"));
    }
    EXPECT_EQ(channel->stats().decryptFailures, 5);
    EXPECT_EQ(channel->stats().received, 2);
    EXPECT_EQ(seen.countLogs("control: first message of type 0x010b (10 bytes)"), 1u);
    EXPECT_EQ(seen.countLogs("control: could not decrypt a 38 byte message: authentication"), 3u);
}

TEST_F(ControlChannelTest, FollowsABoxThatFallsBackToV1AndWarns) {
    startServer(ControlServer::NonceStyle::v1);
    auto channel = makeChannel();
    channel->send(0x0305, Bytes{0, 0}); // still v2: the box has not answered yet
    ASSERT_TRUE(server->waitFor([](const auto& record) { return !record.empty(); }, 3));
    server->send(0x0101, Bytes{1});
    ASSERT_TRUE(seen.waitFor([&] { return !messages.empty(); }));
    channel->send(0x0307, Bytes{0});
    ASSERT_TRUE(server->waitFor([](const auto& record) { return record.size() >= 2; }, 3));
    const auto record = server->messages();
    EXPECT_EQ(record[0].style, ControlServer::NonceStyle::v2);
    EXPECT_EQ(record[1].style, ControlServer::NonceStyle::v1);
    EXPECT_EQ(seen.countLogs("WARNING: control: the box answered with encryption v1, not v2"), 1u);
}

TEST_F(ControlChannelTest, CloseDisconnectsGracefullyOrAfterOneSecondAndLaterMessagesAreNeverSent) {
    startServer();
    auto channel = makeChannel();
    channel->close();
    // On a loaded machine (sanitizers) the box's reply can miss its second: then the reset path closes
    // the channel, and the box only notices the client gone at its own time-out.
    const std::size_t late = seen.countLogs("control: closed (no disconnect reply within 1 s)");
    EXPECT_EQ(seen.countLogs("control: closed") + late, 1u);
    EXPECT_TRUE(late > 0 || server->waitClientGone(3));
    channel->send(0x0200, Bytes(8, 0));
    EXPECT_EQ(channel->stats().sent, 0);
    // A box that no longer answers is reset after one second of waiting for its disconnect reply.
    auto second = makeChannel();
    server->freeze();
    const auto before = std::chrono::steady_clock::now();
    second->close();
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GT(waited, std::chrono::seconds(1));
    EXPECT_LT(waited, std::chrono::milliseconds(1900));
    EXPECT_EQ(seen.countLogs("control: closed (no disconnect reply within 1 s)"), late + 1);
    EXPECT_TRUE(server->messages().empty());
}

// A message queued just before the stop (a resize asked for as the session is being restarted) still
// reaches the box, ahead of the disconnect. Queued and closed from the control thread's own callback, the
// stop is there before the thread's next pass could send it.
TEST_F(ControlChannelTest, WhatWasQueuedBeforeCloseStillReachesTheBox) {
    startServer();
    auto channel = makeChannel(false);
    ControlChannel* open = channel.get();
    channel->onMessage = [open](std::uint16_t, const Bytes&) {
        open->send(0x5503, Bytes{0xE0, 0x01, 0xE0, 0x01});
        open->close();
        open->send(0x0302, Bytes(4, 0));  // after the stop: never sent
    };
    channel->connect(5);
    server->send(0x0100, Bytes{1});
    ASSERT_TRUE(server->waitFor([](const auto& record) { return !record.empty(); }, 5));
    channel->close();  // waits for the thread's end: the count is final
    EXPECT_EQ(channel->stats().sent, 1);
    const auto record = server->messages();
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record[0].type, 0x5503);
    EXPECT_EQ(record[0].payload, (Bytes{0xE0, 0x01, 0xE0, 0x01}));
    EXPECT_EQ(record[0].seq, 1u);
}

TEST_F(ControlChannelTest, SequenceNumbersNeverWrapBackToUsedNonces) {
    startServer();
    auto channel = makeChannel(false);
    channel->overrideSequenceForTest(std::numeric_limits<std::uint32_t>::max() - 1);
    channel->connect(5);
    channel->send(0x0200, Bytes(8, 0));
    ASSERT_TRUE(server->waitFor([](const auto& record) { return !record.empty(); }, 3));
    channel->send(0x0200, Bytes(8, 1)); // would need sequence number 0 again
    ASSERT_TRUE(seen.waitFor([&] { return !disconnects.empty(); }));
    EXPECT_TRUE(server->waitClientGone(3));
    const auto record = server->messages();
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record[0].seq, std::numeric_limits<std::uint32_t>::max());
    std::lock_guard guard(seen.lock);
    EXPECT_EQ(disconnects[0], "the control channel used up its sequence numbers");
}

// An owner that drops the channel inside its own callback (on the control thread) must neither wait for
// itself nor leave the thread running on freed memory. (Releasing it elsewhere: see the session's tests.)
TEST_F(ControlChannelTest, ReleasingTheChannelFromItsOwnCallbackEndsIt) {
    startServer();
    std::mutex ownerLock;
    std::unique_ptr<ControlChannel> owned = std::make_unique<ControlChannel>(address, 47999, 0, kKey, Style::v2);
    std::atomic<bool> released{false};
    owned->onMessage = [&](std::uint16_t, const Bytes&) {
        std::unique_lock guard(ownerLock);
        auto dropped = std::move(owned);
        guard.unlock();
        dropped.reset();
        released = true;
    };
    owned->connect(5);
    server->send(0x0100, Bytes{1});
    EXPECT_TRUE(server->waitClientGone(3));
    EXPECT_TRUE(released);
    // The thread ends on its own; its last act is the closing line.
    EXPECT_TRUE(seen.waitFor([&] { return std::count(seen.logs.begin(), seen.logs.end(), "[engine] control: closed") == 1; }));
}

} // namespace
} // namespace corvane::stream
