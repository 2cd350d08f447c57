#include "engine/session/MediaSocket.hpp"

#include "boxsim/session/MediaPorts.hpp"
#include "engine/EngineLog.hpp"
#include "engine/session/NetworkHints.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

namespace corvane::stream {
namespace {

using namespace std::chrono_literals;

struct Received {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Bytes> video;
    std::vector<Bytes> audio;
    std::vector<std::string> threads;
    std::vector<std::string> logs;

    MediaSocket::Handler handler(std::vector<Bytes>& into) {
        return [this, &into](ByteView datagram) {
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            std::lock_guard guard(lock);
            into.emplace_back(datagram.begin(), datagram.end());
            threads.emplace_back(name);
            changed.notify_all();
        };
    }
    template <class Pred>
    bool waitFor(Pred pred) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, 3s, [&] { return pred(); });
    }
};

class MediaSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        EngineLog::setSink([this](const std::string& line) {
            std::lock_guard guard(got.lock);
            got.logs.push_back(line);
        });
        box.start();
    }
    void TearDown() override { EngineLog::setSink(nullptr); }

    std::unique_ptr<MediaSocket> makeSocket(Bytes videoPayload = bytesOf("PING"), Bytes audioPayload = bytesOf("PING")) {
        return std::make_unique<MediaSocket>(address, 47998, 48000, std::move(videoPayload), std::move(audioPayload),
                                             got.handler(got.video), got.handler(got.audio));
    }
    std::size_t logCount(const std::string& prefix) {
        std::lock_guard guard(got.lock);
        return static_cast<std::size_t>(std::count_if(got.logs.begin(), got.logs.end(), [&](const std::string& l) {
            return l.rfind("[engine] " + prefix, 0) == 0;
        }));
    }

    std::string address = test::uniqueLoopbackAddress();
    boxsim::MediaPorts box{boxsim::MediaPorts::Options{address, 47998, 48000}};
    Received got;
};

TEST_F(MediaSocketTest, PingsWithACounterOnSixteenBytePayloadsAndDatagramsReachTheirHandlers) {
    const Bytes sixteen = bytesOf("0123456789ABCDEF");
    auto socket = makeSocket(sixteen, bytesOf("PING"));
    socket->start();
    ASSERT_TRUE(box.waitForPings(2, 2, 3));
    Bytes first = sixteen, second = sixteen;
    first.insert(first.end(), {0, 0, 0, 1});
    second.insert(second.end(), {0, 0, 0, 2});
    EXPECT_EQ(box.videoPings()[0], first);
    EXPECT_EQ(box.videoPings()[1], second);
    EXPECT_EQ(box.audioPings()[1], bytesOf("PING"));
    EXPECT_EQ(logCount("udp: receive buffer "), 1u);

    ASSERT_TRUE(box.sendVideo(Bytes{1, 2, 3}));
    ASSERT_TRUE(box.sendAudio(Bytes{4, 5}));
    ASSERT_TRUE(box.sendVideo(Bytes(2048, 0xAB))); // the largest that fits whole
    ASSERT_TRUE(got.waitFor([&] { return got.video.size() == 2 && got.audio.size() == 1; }));
    {
        std::lock_guard guard(got.lock);
        EXPECT_EQ(got.video[1], Bytes(2048, 0xAB));
        EXPECT_EQ(got.audio[0], (Bytes{4, 5}));
        EXPECT_EQ(got.threads, std::vector<std::string>(3, "corvane.media"));
    }
    EXPECT_EQ(socket->video(), (MediaSocket::Counts{2, 2051}));
    EXPECT_EQ(socket->sendErrors(), 0);

    // After a stop neither handlers nor pings run once the current pass is over; a second stop is harmless.
    socket->stop();
    std::this_thread::sleep_for(200ms);
    const auto pings = socket->pings();
    box.sendVideo(Bytes{1});
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(socket->pings(), pings);
    EXPECT_EQ(socket->video().packets, 2);
    socket->stop();
}

TEST_F(MediaSocketTest, OverlongAndStrayDatagramsAreDroppedAndCounted) {
    auto socket = makeSocket();
    socket->start();
    ASSERT_TRUE(box.waitForPings(1, 1, 3));
    ASSERT_TRUE(box.sendVideo(Bytes(3000, 0x11)));
    ASSERT_TRUE(box.sendVideo(Bytes(2049, 0x22)));
    ASSERT_TRUE(box.sendFromPort(47990, Bytes{1}));
    ASSERT_TRUE(box.sendFromPort(47990, Bytes{2}));
    ASSERT_TRUE(box.sendVideo(Bytes{9}));
    // The counters and log lines follow the handler on the media thread: wait for all of them.
    for (int i = 0; i < 3000; ++i) {
        bool delivered = false;
        {
            std::lock_guard guard(got.lock);
            delivered = !got.video.empty();
        }
        if (delivered && socket->truncated() == 2 && socket->other() == 2 &&
            logCount("udp: traffic from an unexpected box port 47990") == 1)
            break;
        std::this_thread::sleep_for(1ms);
    }
    {
        std::lock_guard guard(got.lock);
        ASSERT_EQ(got.video.size(), 1u);
        EXPECT_EQ(got.video[0], Bytes{9});
        EXPECT_TRUE(got.audio.empty());
    }
    EXPECT_EQ(socket->truncated(), 2);
    EXPECT_EQ(socket->other(), 2);
    EXPECT_EQ(socket->video(), (MediaSocket::Counts{1, 1}));
    EXPECT_EQ(logCount("udp: dropped a datagram of 3000 bytes"), 1u);
    EXPECT_EQ(logCount("udp: traffic from an unexpected box port 47990"), 1u);
}

TEST_F(MediaSocketTest, ReleasingTheSocketFromItsOwnHandlerEndsTheThread) {
    std::mutex ownerLock;
    std::unique_ptr<MediaSocket> owned;
    std::atomic<int> calls{0};
    owned = std::make_unique<MediaSocket>(address, 47998, 48000, bytesOf("PING"), bytesOf("PING"),
                                          [&](ByteView) {
                                              ++calls;
                                              std::unique_ptr<MediaSocket> dropped;
                                              {
                                                  std::lock_guard guard(ownerLock);
                                                  dropped = std::move(owned);
                                              }
                                          },
                                          nullptr);
    {
        std::lock_guard guard(ownerLock);
        owned->start();
    }
    ASSERT_TRUE(box.waitForPings(1, 1, 3));
    box.sendVideo(Bytes{1});
    box.sendVideo(Bytes{2});
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (calls == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(300ms); // the detached thread finishes its pass and ends
    EXPECT_EQ(calls, 1);
    std::lock_guard guard(ownerLock);
    owned.reset();
}

TEST_F(MediaSocketTest, PortsAndAddressesThatDoNotFitFailInsteadOfBeingTruncated) {
    const auto kindOf = [](auto make) {
        try {
            make();
        } catch (const MediaSocket::Error& error) {
            return error.kind;
        }
        ADD_FAILURE() << "made";
        return MediaSocket::Error::Kind::socket;
    };
    EXPECT_EQ(kindOf([&] { MediaSocket(address, 47998 + 65536, 48000, {}, {}, nullptr, nullptr); }),
              MediaSocket::Error::Kind::port);
    EXPECT_EQ(kindOf([&] { MediaSocket("box.local", 47998, 48000, {}, {}, nullptr, nullptr); }),
              MediaSocket::Error::Kind::address);
    MediaSocket neverStarted(address, 47998, 48000, {}, {}, nullptr, nullptr);
    neverStarted.stop();
}

TEST(NetworkHintsTest, FindsTheLocalAddressTowardADottedHostOnly) {
    EXPECT_EQ(NetworkHints::localAddress("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(NetworkHints::localAddress("box.local"), std::nullopt);
    EXPECT_EQ(NetworkHints::localAddress(""), std::nullopt);
}

} // namespace
} // namespace corvane::stream
