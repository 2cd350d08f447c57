// The simulated box's media ports as sessions follow one another: which client a stream's datagrams go to,
// and what ends a stream.
#include "boxsim/session/MediaPorts.hpp"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "tests/support/TestSupport.hpp"

namespace corvane::boxsim {
namespace {

// A client's media socket on the test's address: pings the box's video port and reads what comes back.
class Client {
public:
    explicit Client(const std::string& address) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
        box_ = local;
        box_.sin_port = htons(47998);
        const int buffer = 8 << 20;  // every picture stays queued until the test reads it
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void ping() const { ::sendto(fd_, "PING", 4, 0, reinterpret_cast<const sockaddr*>(&box_), sizeof box_); }
    // The frame index of the next datagram, waiting up to `ms`; none when nothing came.
    std::optional<std::uint32_t> nextFrame(int ms) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return std::nullopt;
        std::uint8_t d[2048];
        if (::recv(fd_, d, sizeof d, 0) < 24) return std::uint32_t(0xFFFFFFFF);
        return std::uint32_t(d[20] | d[21] << 8 | d[22] << 16 | std::uint32_t(d[23]) << 24);
    }

private:
    int fd_;
    sockaddr_in box_{};
};

class MediaPortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        MediaPorts::Streaming streaming;
        streaming.streamOptions = [] {
            MediaStreamer::Options options;
            options.audio = false;
            options.format.width = 320;
            options.format.height = 180;
            options.format.fps = 30;
            return std::optional(options);
        };
        streaming.idleSeconds = 600;  // a stream ends only as the test says
        streaming.requestsForStream = [this] {
            std::function<MediaPorts::Requests()> made;
            {
                std::lock_guard guard(lock);
                made = requests;
            }
            return made ? made() : MediaPorts::Requests{};
        };
        ports = std::make_unique<MediaPorts>(MediaPorts::Options{address, 47998, 48000}, std::move(streaming));
        ports->start();
    }
    void TearDown() override { ports->stop(); }
    std::string address = test::uniqueLoopbackAddress();
    // What the streams' threads share with the test, under `lock`; kept until the ports stopped.
    std::mutex lock;
    std::condition_variable changed;
    bool encoding = false;
    int streams = 0;
    std::function<MediaPorts::Requests()> requests;
    std::unique_ptr<MediaPorts> ports;
};

// The second client's first ping comes while the first client's stream is encoding its third picture: that
// picture still goes to the first client, and the second receives its own stream only, from frame 0.
TEST_F(MediaPortsTest, AStreamSendsOnlyToTheClientItWasStartedFor) {
    std::unique_lock setting(lock);
    requests = [this] {
        std::lock_guard guard(lock);
        if (++streams > 1) return MediaPorts::Requests{};
        MediaPorts::Requests first;
        first.keyframeWanted = [this, pictures = 0]() mutable {
            if (++pictures != 3) return false;
            {
                std::lock_guard guard(lock);
                encoding = true;
            }
            changed.notify_all();
            // Held until the box has the second client's ping (the ping ends this stream after the picture).
            EXPECT_TRUE(ports->waitForPings(2, 0, 60));
            return false;
        };
        return first;
    };
    setting.unlock();
    const Client first(address), second(address);
    first.ping();
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(60), [&] { return encoding; }));
    }
    second.ping();
    std::vector<std::uint32_t> frames;
    while (frames.empty() || frames.back() < 2) {
        const auto frame = second.nextFrame(60000);
        ASSERT_TRUE(frame) << "the second client's stream stopped after " << frames.size() << " datagrams";
        frames.push_back(*frame);
    }
    EXPECT_EQ(frames.front(), 0u);
    EXPECT_TRUE(std::is_sorted(frames.begin(), frames.end()));
    // The first client has its third picture: it was sent before the second stream started.
    std::vector<std::uint32_t> firstFrames;
    while (const auto frame = first.nextFrame(0)) firstFrames.push_back(*frame);
    EXPECT_NE(std::find(firstFrames.begin(), firstFrames.end(), 2u), firstFrames.end());
}

// A launch ends the running stream; so does a cancel, and no ping starts another before the next launch.
// Each check comes when no ping is in flight, or when one in flight would start no stream.
TEST_F(MediaPortsTest, ALaunchOrACancelEndsTheRunningStream) {
    const Client client(address);
    client.ping();
    ASSERT_TRUE(ports->waitForStreaming(true, 60));
    ports->newSession();
    EXPECT_FALSE(ports->streaming());
    client.ping();
    ASSERT_TRUE(ports->waitForStreaming(true, 60));
    ports->endSession();
    EXPECT_FALSE(ports->streaming());
    // Pings are taken one by one: once the fourth is recorded, the third has been dealt with.
    client.ping();
    client.ping();
    ASSERT_TRUE(ports->waitForPings(4, 0, 60));
    EXPECT_FALSE(ports->streaming());
    EXPECT_EQ(ports->streamedSessions(), 2);
    ports->newSession();
    client.ping();
    ASSERT_TRUE(ports->waitForStreaming(true, 60));
    EXPECT_EQ(ports->streamedSessions(), 3);
}

}  // namespace
}  // namespace corvane::boxsim
