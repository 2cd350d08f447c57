#include "engine/session/ControlChannel.hpp"

#include "boxsim/session/ControlServer.hpp"
#include "engine/EngineLog.hpp"
#include "engine/session/LittleEndian.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

namespace corvane::stream {
namespace {

using boxsim::ControlServer;
using Style = ControlCrypto::IVStyle;
using namespace std::chrono_literals;

const Bytes kKey{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

std::string threadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// What the channel's callbacks and the engine log saw, safe to wait on from the test thread.
struct Observed {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<std::uint16_t, Bytes>> messages;
    std::vector<std::string> disconnects;
    std::vector<std::string> logs;
    std::vector<std::string> callbackThreads;

    template <class Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds limit = 3000ms) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, limit, [&] { return pred(); });
    }
    std::size_t countLogs(const std::string& line) {
        std::lock_guard guard(lock);
        return static_cast<std::size_t>(std::count(logs.begin(), logs.end(), "[engine] " + line));
    }
};

class ControlChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        EngineLog::setSink([this](const std::string& line) {
            std::lock_guard guard(seen.lock);
            seen.logs.push_back(line);
            seen.changed.notify_all();
        });
    }
    void TearDown() override { EngineLog::setSink(nullptr); }

    void startServer(std::optional<Bytes> key, ControlServer::NonceStyle style, bool silent = false) {
        server = std::make_unique<ControlServer>(ControlServer::Options{address, 47999, key, style, silent});
        server->start();
    }

    std::unique_ptr<ControlChannel> makeChannel(std::optional<Bytes> key = kKey, Style style = Style::v2) {
        auto channel = std::make_unique<ControlChannel>(address, 47999, 0xC0FFEE01u, key, style);
        channel->onMessage = [this](std::uint16_t type, const Bytes& payload) {
            std::lock_guard guard(seen.lock);
            seen.messages.emplace_back(type, payload);
            seen.callbackThreads.push_back(threadName());
            seen.changed.notify_all();
        };
        channel->onDisconnect = [this](const std::string& reason) {
            std::lock_guard guard(seen.lock);
            seen.disconnects.push_back(reason);
            seen.callbackThreads.push_back(threadName());
            seen.changed.notify_all();
        };
        return channel;
    }

    std::string address = test::uniqueLoopbackAddress();
    std::unique_ptr<ControlServer> server;
    Observed seen;
};

TEST_F(ControlChannelTest, SendsQueuedMessagesInOrderSealedWithRisingSequenceNumbers) {
    startServer(kKey, ControlServer::NonceStyle::v2);
    auto channel = makeChannel();
    // Queued before the connection: kept and sent once it is up.
    channel->send(0x0305, Bytes{0, 0});
    channel->connect(5);
    ASSERT_TRUE(server->waitConnected(3));
    EXPECT_EQ(server->connectData(), 0xC0FFEE01u);

    const Bytes input{0x00, 0x00, 0x00, 0x08, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x7F, 0x00, 0x80};
    channel->send(0x0307, Bytes{0});
    channel->send(0x0302, Bytes(4, 0));
    channel->send(0x0206, input);
    ASSERT_TRUE(server->waitFor([](const auto& record) { return record.size() >= 4; }, 3));

    const auto record = server->messages();
    ASSERT_EQ(record.size(), 4u);
    const std::uint16_t types[] = {0x0305, 0x0307, 0x0302, 0x0206};
    const Bytes payloads[] = {Bytes{0, 0}, Bytes{0}, Bytes(4, 0), input};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(record[i].sealed);
        EXPECT_EQ(record[i].type, types[i]);
        EXPECT_EQ(record[i].payload, payloads[i]);
        EXPECT_EQ(record[i].seq, i + 1);
        EXPECT_EQ(record[i].style, ControlServer::NonceStyle::v2);
    }
    EXPECT_EQ(channel->stats().sent, 4);
    channel->close();
}

TEST_F(ControlChannelTest, WithoutAKeyMessagesTravelPlain) {
    startServer(std::nullopt, ControlServer::NonceStyle::v2);
    auto channel = makeChannel(std::nullopt);
    channel->connect(5);
    channel->send(0x0200, Bytes(8, 0));
    ASSERT_TRUE(server->waitFor([](const auto& record) { return !record.empty(); }, 3));
    EXPECT_FALSE(server->messages()[0].sealed);
    EXPECT_EQ(server->messages()[0].payload, Bytes(8, 0));
}

TEST_F(ControlChannelTest, RumbleFromTheBoxReachesOnMessageOnTheControlThread) {
    startServer(kKey, ControlServer::NonceStyle::v2);
    auto channel = makeChannel();
    channel->connect(5);
    server->sendRumble(5, 10000, 20000);
    server->sendRumble(5, 0, 0);
    server->sendPlain(0x010B, Bytes(10, 0x01)); // plain messages are accepted on an encrypted channel too
    ASSERT_TRUE(seen.waitFor([&] { return seen.messages.size() >= 3; }));

    {
        std::lock_guard guard(seen.lock);
        const auto& [type, payload] = seen.messages[0];
        EXPECT_EQ(type, 0x010B);
        ASSERT_EQ(payload.size(), 10u);
        EXPECT_EQ(u16LE(payload, 4), 5);
        EXPECT_EQ(u16LE(payload, 6), 10000);
        EXPECT_EQ(u16LE(payload, 8), 20000);
        EXPECT_EQ(seen.messages[2].second, Bytes(10, 0x01));
        EXPECT_EQ(seen.callbackThreads, std::vector<std::string>(3, "corvane.control"));
    }
    EXPECT_EQ(seen.countLogs("control: first message of type 0x010b (10 bytes)"), 1u);
    const auto stats = channel->stats();
    EXPECT_EQ(stats.received, 3);
    EXPECT_EQ(stats.receivedTypes.at(0x010B), 3);
}

TEST_F(ControlChannelTest, TamperedMessagesAreRefusedCountedAndNeverDelivered) {
    startServer(kKey, ControlServer::NonceStyle::v2);
    auto channel = makeChannel();
    channel->connect(5);

    ControlCrypto box(kKey, Style::v2);
    for (std::uint32_t seq = 1; seq <= 5; ++seq) {
        Bytes sealed = box.seal(0x010B, Bytes(10, 0x22), seq, true);
        sealed.back() ^= 0x01;
        server->sendRaw(sealed);
    }
    server->send(0x0100, Bytes{0x42}); // a good one afterwards still gets through
    ASSERT_TRUE(seen.waitFor([&] { return !seen.messages.empty(); }));

    {
        std::lock_guard guard(seen.lock);
        ASSERT_EQ(seen.messages.size(), 1u);
        EXPECT_EQ(seen.messages[0], (std::pair<std::uint16_t, Bytes>{0x0100, Bytes{0x42}}));
    }
    EXPECT_EQ(channel->stats().decryptFailures, 5);
    EXPECT_EQ(channel->stats().received, 1);
    EXPECT_EQ(seen.countLogs("control: could not decrypt a 38 byte message: authentication"), 3u);
}

TEST_F(ControlChannelTest, FollowsABoxThatFallsBackToV1AndWarns) {
    startServer(kKey, ControlServer::NonceStyle::v1);
    auto channel = makeChannel(kKey, Style::v2);
    channel->connect(5);
    channel->send(0x0305, Bytes{0, 0}); // still v2: the box has not answered yet
    ASSERT_TRUE(server->waitFor([](const auto& record) { return !record.empty(); }, 3));
    server->send(0x0101, Bytes{1});
    ASSERT_TRUE(seen.waitFor([&] { return !seen.messages.empty(); }));
    channel->send(0x0307, Bytes{0});
    ASSERT_TRUE(server->waitFor([](const auto& record) { return record.size() >= 2; }, 3));

    const auto record = server->messages();
    EXPECT_EQ(record[0].style, ControlServer::NonceStyle::v2);
    EXPECT_EQ(record[1].style, ControlServer::NonceStyle::v1);
    EXPECT_EQ(seen.countLogs("WARNING: control: the box answered with encryption v1, not v2"), 1u);
}

TEST_F(ControlChannelTest, TheBoxClosingTheChannelReachesOnDisconnect) {
    startServer(kKey, ControlServer::NonceStyle::v2);
    auto channel = makeChannel();
    channel->connect(5);
    server->disconnect(7);
    ASSERT_TRUE(seen.waitFor([&] { return !seen.disconnects.empty(); }));
    {
        std::lock_guard guard(seen.lock);
        EXPECT_EQ(seen.disconnects[0], "the box closed the control channel (7)");
        EXPECT_EQ(seen.callbackThreads.back(), "corvane.control");
    }
    EXPECT_EQ(seen.countLogs("control: the box closed the channel (data 7)"), 1u);
    const auto before = std::chrono::steady_clock::now();
    channel->close(); // the thread has ended already
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
}

TEST_F(ControlChannelTest, CloseDisconnectsGracefullyAndLaterMessagesAreNeverSent) {
    startServer(kKey, ControlServer::NonceStyle::v2);
    auto channel = makeChannel();
    channel->connect(5);
    channel->close();
    EXPECT_TRUE(server->waitClientGone(3));
    EXPECT_EQ(seen.countLogs("control: closed"), 1u);
    channel->send(0x0200, Bytes(8, 0));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(server->messages().empty());
    EXPECT_EQ(channel->stats().sent, 0);
}

TEST_F(ControlChannelTest, ASilentBoxIsResetAfterOneSecondOfClosing) {
    startServer(kKey, ControlServer::NonceStyle::v2);
    auto channel = makeChannel();
    channel->connect(5);
    server->freeze();
    const auto before = std::chrono::steady_clock::now();
    channel->close();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GT(took, 1s);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(seen.countLogs("control: closed (no disconnect reply within 1 s)"), 1u);
}

TEST_F(ControlChannelTest, AHostThatNeverAnswersFailsTheConnectAndLeavesNothingRunning) {
    startServer(kKey, ControlServer::NonceStyle::v2, /*silent=*/true);
    auto channel = makeChannel();
    const auto before = std::chrono::steady_clock::now();
    try {
        channel->connect(0.5);
        FAIL() << "connected";
    } catch (const ControlChannel::Error& error) {
        EXPECT_EQ(error.kind, ControlChannel::Error::Kind::connectTimeout);
        EXPECT_STREQ(error.what(), "the box did not accept the control channel");
    }
    EXPECT_GE(std::chrono::steady_clock::now() - before, 500ms);
    channel->send(0x0200, Bytes(8, 0));
    channel->close(); // returns at once: the thread has been joined already

    // A stop requested while connecting ends the attempt early with the same error.
    auto second = makeChannel();
    std::stop_source stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        stop.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(second->connect(5, stop.get_token()), ControlChannel::Error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    stopper.join();
}

TEST_F(ControlChannelTest, BadAddressesAndPortsFailInsteadOfBeingGuessed) {
    try {
        ControlChannel(address, 70000, 0, kKey, Style::v2);
        FAIL() << "made";
    } catch (const ControlChannel::Error& error) {
        EXPECT_EQ(error.kind, ControlChannel::Error::Kind::setup);
    }
    EXPECT_THROW(ControlChannel(address, -1, 0, kKey, Style::v2), ControlChannel::Error);

    ControlChannel unparseable("box.invalid", 47999, 0, kKey, Style::v2);
    try {
        unparseable.connect(5);
        FAIL() << "connected";
    } catch (const ControlChannel::Error& error) {
        EXPECT_STREQ(error.what(), "control channel setup failed: enet_address_set_host_ip");
    }
    ControlChannel never(address, 47999, 0, kKey, Style::v2);
    never.close(); // never connected: returns at once
}

TEST_F(ControlChannelTest, SequenceNumbersNeverWrapBackToUsedNonces) {
    startServer(kKey, ControlServer::NonceStyle::v2);
    auto channel = makeChannel();
    channel->overrideSequenceForTest(std::numeric_limits<std::uint32_t>::max() - 1);
    channel->connect(5);
    channel->send(0x0200, Bytes(8, 0));
    ASSERT_TRUE(server->waitFor([](const auto& record) { return !record.empty(); }, 3));
    channel->send(0x0200, Bytes(8, 1)); // would need sequence number 0 again
    ASSERT_TRUE(seen.waitFor([&] { return !seen.disconnects.empty(); }));
    EXPECT_TRUE(server->waitClientGone(3));

    const auto record = server->messages();
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record[0].seq, std::numeric_limits<std::uint32_t>::max());
    std::lock_guard guard(seen.lock);
    EXPECT_EQ(seen.disconnects[0], "the control channel used up its sequence numbers");
}

TEST_F(ControlChannelTest, ReleasingTheChannelStopsItEvenFromItsOwnCallback) {
    startServer(kKey, ControlServer::NonceStyle::v2);
    {
        auto channel = makeChannel();
        channel->connect(5);
    } // destroyed without close: disconnects and joins
    EXPECT_TRUE(server->waitClientGone(3));

    // An owner that drops the channel inside its own callback (on the control thread) must neither wait
    // for itself nor leave the thread running on freed memory.
    const std::string otherAddress = test::uniqueLoopbackAddress();
    ControlServer other(ControlServer::Options{otherAddress, 47999, kKey, ControlServer::NonceStyle::v2, false});
    other.start();
    std::mutex ownerLock;
    std::unique_ptr<ControlChannel> owned =
        std::make_unique<ControlChannel>(otherAddress, 47999, 0, kKey, Style::v2);
    std::atomic<bool> released{false};
    owned->onMessage = [&](std::uint16_t, const Bytes&) {
        std::unique_ptr<ControlChannel> dropped;
        {
            std::lock_guard guard(ownerLock);
            dropped = std::move(owned);
        }
        dropped.reset();
        released = true;
    };
    owned->connect(5);
    other.send(0x0100, Bytes{1});
    EXPECT_TRUE(other.waitClientGone(3));
    EXPECT_TRUE(released);
}

} // namespace
} // namespace corvane::stream
