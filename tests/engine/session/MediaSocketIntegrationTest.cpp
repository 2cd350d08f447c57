#include "engine/session/MediaSocket.hpp"
#include "boxsim/session/MediaPorts.hpp"
#include "engine/session/NetworkHints.hpp"
#include "tests/support/TestSupport.hpp"
#include "tests/engine/session/Recorder.hpp"
#include <gtest/gtest.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::stream {
namespace {

using namespace std::chrono_literals;

class MediaSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::Recorder::captureLog(gotOwner);
        box.start();
    }
    void TearDown() override { EngineLog::setSink(nullptr); }
    MediaSocket::Handler into(std::vector<Bytes>& datagrams) {
        return [this, &datagrams](ByteView d) { got.record([&] { datagrams.emplace_back(d.begin(), d.end()); }); };
    }
    std::unique_ptr<MediaSocket> makeSocket(Bytes videoPayload = bytesOf("PING")) {
        return std::make_unique<MediaSocket>(address, 47998, 48000, std::move(videoPayload), bytesOf("PING"),
                                             into(video), into(audio));
    }
    std::string address = test::uniqueLoopbackAddress();
    boxsim::MediaPorts box{boxsim::MediaPorts::Options{address, 47998, 48000}};
    std::shared_ptr<test::Recorder> gotOwner = std::make_shared<test::Recorder>();
    test::Recorder& got = *gotOwner;
    std::vector<Bytes> video, audio; // under got.lock
};

// The media thread's clock, moved by the test. Each pass reads it once, before it decides on a ping.
class PassClock {
public:
    MediaSocket::Now now() {
        return [this] {
            std::lock_guard guard(lock_);
            ++reads_;
            changed_.notify_all();
            return at_;
        };
    }
    // Sets the time, then waits until a pass that read it has ended (the next one read the clock): whatever
    // that pass sent is counted by then.
    bool setAndPass(std::chrono::milliseconds sinceStart) {
        std::unique_lock guard(lock_);
        at_ = start + sinceStart;
        const std::int64_t after = reads_ + 2;
        return changed_.wait_for(guard, 5s, [&] { return reads_ >= after; });
    }
    const std::chrono::steady_clock::time_point start{std::chrono::hours(1)};

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::chrono::steady_clock::time_point at_ = start;
    std::int64_t reads_ = 0;
};

TEST_F(MediaSocketTest, PingsCountOnSixteenBytePayloadsAndOnlyWholeDatagramsFromTheBoxsPortsArrive) {
    const Bytes sixteen = bytesOf("0123456789ABCDEF");
    PassClock clock;  // outlives the socket's thread
    auto socket = makeSocket(sixteen);
    socket->now = clock.now();
    socket->start();
    // The first pass pings at once; the next ping is due 0.5 s later on the media thread's clock. Passes go on
    // while nothing is received (the receive waits 25 ms at most), so a due ping is never held back.
    ASSERT_TRUE(box.waitForPings(1, 1, 5));
    ASSERT_TRUE(clock.setAndPass(499ms));
    EXPECT_EQ(socket->pings(), 2);
    ASSERT_TRUE(clock.setAndPass(500ms));
    EXPECT_EQ(socket->pings(), 4);
    ASSERT_TRUE(clock.setAndPass(999ms));
    EXPECT_EQ(socket->pings(), 4);
    ASSERT_TRUE(box.waitForPings(2, 2, 5));
    Bytes second = sixteen;
    second.insert(second.end(), {0, 0, 0, 2});
    EXPECT_EQ(box.videoPings()[1], second);
    EXPECT_EQ(box.audioPings()[1], bytesOf("PING"));
    EXPECT_EQ(got.countLogs("udp: receive buffer ", false), 1u);
    ASSERT_TRUE(box.sendVideo(Bytes(3000, 0x11)));
    ASSERT_TRUE(box.sendVideo(Bytes(2049, 0x22)));
    ASSERT_TRUE(box.sendFromPort(47990, Bytes{1}));
    ASSERT_TRUE(box.sendFromPort(47990, Bytes{2}));
    ASSERT_TRUE(box.sendAudio(Bytes{4, 5}));
    ASSERT_TRUE(box.sendVideo(Bytes(2048, 0xAB))); // the largest that fits whole
    // The counters and log lines follow the handler on the media thread: wait for all of them.
    for (int i = 0; i < 3000; ++i) {
        bool delivered = false;
        {
            std::lock_guard guard(got.lock);
            delivered = !video.empty() && !audio.empty();
        }
        if (delivered && socket->truncated() == 2 && socket->other() == 2 &&
            got.countLogs("udp: traffic from an unexpected box port 47990", false) == 1)
            break;
        std::this_thread::sleep_for(1ms);
    }
    {
        std::lock_guard guard(got.lock);
        EXPECT_EQ(video, std::vector<Bytes>{Bytes(2048, 0xAB)});
        EXPECT_EQ(audio, std::vector<Bytes>{Bytes({4, 5})});
        EXPECT_EQ(got.threads, std::vector<std::string>(2, "corvane.media"));
    }
    EXPECT_EQ(socket->truncated(), 2);
    EXPECT_EQ(socket->other(), 2);
    EXPECT_EQ(socket->video(), (MediaSocket::Counts{1, 2048}));
    EXPECT_EQ(socket->sendErrors(), 0);
    EXPECT_EQ(got.countLogs("udp: dropped a datagram of 3000 bytes", false), 1u);
    EXPECT_EQ(got.countLogs("udp: traffic from an unexpected box port 47990", false), 1u);
    socket->stop();
    socket->stop(); // a second stop is harmless
}

TEST_F(MediaSocketTest, ReleasingTheSocketFromItsOwnHandlerEndsTheThread) {
    std::mutex ownerLock;
    std::unique_ptr<MediaSocket> owned;
    std::atomic<int> calls{0};
    const auto dropOwner = [&](ByteView) {
        ++calls;
        std::unique_lock guard(ownerLock);
        auto dropped = std::move(owned);
        guard.unlock();
    };
    {
        std::lock_guard guard(ownerLock);
        owned = std::make_unique<MediaSocket>(address, 47998, 48000, bytesOf("PING"), bytesOf("PING"), dropOwner, nullptr);
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

// Whether the kernel cuts one send on `address` into datagrams (UDP GSO): asked, with the socket option
// rather than the box's way, of a socket of the test's own that sends itself 150 bytes as 100 and 50.
bool kernelSegments(const std::string& address) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    socklen_t length = sizeof self;
    const int segment = 100;
    const Bytes sent(150, 0x5A);
    bool cut = ::inet_pton(AF_INET, address.c_str(), &self.sin_addr) == 1 &&
               ::bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) == 0 &&
               ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) == 0 &&
               ::setsockopt(fd, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment) == 0 &&
               ::sendto(fd, sent.data(), sent.size(), 0, reinterpret_cast<const sockaddr*>(&self), sizeof self) == 150;
    pollfd readable{fd, POLLIN, 0};
    std::array<std::uint8_t, 256> got{};
    cut = cut && ::poll(&readable, 1, 5000) == 1 && ::recv(fd, got.data(), got.size(), 0) == segment;
    ::close(fd);
    return cut;
}

// A picture's datagrams sent at once by the box (segmented by the kernel where it can) reach the socket as
// the datagrams they were, in order: runs of one size cut where the kernel's limits fall, a shorter last of
// a run, and a lone one of another size. Where the kernel segments, the box made the fewest segmented sends
// it allows; where it refuses, the box knows and sent one by one.
TEST_F(MediaSocketTest, ABurstFromTheBoxArrivesAsItsOwnDatagramsInOrder) {
    auto socket = makeSocket();
    socket->start();
    ASSERT_TRUE(box.waitForPings(1, 1, 3));
    std::vector<Bytes> burst;
    for (int i = 0; i < 100; ++i) burst.push_back(Bytes(1400, std::uint8_t(i)));
    burst.push_back(Bytes(600, 0xEE));
    for (int i = 0; i < 3; ++i) burst.push_back(Bytes(200, std::uint8_t(0xA0 + i)));
    burst.push_back(Bytes(2048, 0xFF));
    ASSERT_EQ(box.sendVideoBurst(burst), burst.size());
    for (int i = 0; i < 3000 && socket->video().packets < std::int64_t(burst.size()); ++i) std::this_thread::sleep_for(1ms);
    {
        std::lock_guard guard(got.lock);
        EXPECT_EQ(video, burst);
    }
    if (kernelSegments(address)) {
        // 46 and 46 of 1400 bytes (as many as one datagram may carry), the last 8 with the 600, the three of
        // 200; the 2048 goes alone.
        EXPECT_EQ(box.segmentedSends(), 4u);
        EXPECT_TRUE(box.segmenting());
    } else {
        EXPECT_EQ(box.segmentedSends(), 0u);
        EXPECT_FALSE(box.segmenting());
    }
}

// The media thread asks for sound's scheduling as it starts and says what it got, truthfully, once.
TEST_F(MediaSocketTest, TheMediaThreadSaysWhichSchedulingItGot) {
    auto socket = makeSocket();
    socket->start();
    ASSERT_TRUE(box.waitForPings(1, 1, 3)); // the line comes before the first ping
    ASSERT_EQ(got.countLogs("udp: corvane.media thread ", false), 1u);
    std::string line;
    {
        std::lock_guard guard(got.lock);
        line = *std::find_if(got.logs.begin(), got.logs.end(),
                             [](const std::string& l) { return l.starts_with("[engine] udp: corvane.media thread "); });
    }
    int thread = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "[engine] udp: corvane.media thread %d: ", &thread), 1) << line;
    platform::ThreadPriority::Grant actual;
    actual.scheduling = platform::ThreadPriority::System::kernel().current(thread);
    const std::string has = actual.description().substr(0, actual.description().find(','));
    EXPECT_TRUE(line.substr(line.find(": ", line.find(" thread ")) + 2).starts_with(has + ",")) << line << " / " << has;
}

TEST(NetworkHintsTest, FindsTheLocalAddressTowardADottedHostOnly) {
    EXPECT_EQ(NetworkHints::localAddress("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(NetworkHints::localAddress("box.local"), std::nullopt);
    EXPECT_EQ(NetworkHints::localAddress(""), std::nullopt);
}

} // namespace
} // namespace corvane::stream
