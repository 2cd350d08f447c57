#include "boxsim/session/MediaPorts.hpp"

#include <atomic>
#include <cstdint>

#include <gtest/gtest.h>

#include "tests/boxsim/media/MediaReceiver.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::boxsim {
namespace {

MediaStreamer::Options smallStream() {
    MediaStreamer::Options options;
    options.format = VideoSource::Format{320, 240, 30, 1500, VideoCodec::h264};
    options.packetSize = 512;
    return options;
}

class MediaPortsStreaming : public ::testing::Test {
protected:
    void SetUp() override {
        MediaPorts::Streaming streaming;
        streaming.streamOptions = [] { return std::optional<MediaStreamer::Options>(smallStream()); };
        streaming.keyframeWanted = [this] { return keyframeWanted.exchange(false); };
        streaming.idleSeconds = 0.5;
        ports = std::make_unique<MediaPorts>(MediaPorts::Options{address, 47998, 48000}, streaming);
        ports->start();
    }

    const std::string address = corvane::test::uniqueLoopbackAddress();
    std::atomic<bool> keyframeWanted{false};
    std::unique_ptr<MediaPorts> ports;
};

TEST_F(MediaPortsStreaming, AClientThatPingsGetsPictureAndSoundFromTheRightPorts) {
    test::UdpClient client(address);
    EXPECT_FALSE(ports->streaming());
    client.ping(47998);
    client.ping(48000);

    // The ports learn the client's address from its pings: video from 47998, audio from 48000, nothing else.
    auto frames = [&] { return test::assembleFrames(client.byPort[47998]); };
    ASSERT_TRUE(client.receiveUntil([&] { return frames().size() >= 12 && client.byPort[48000].size() >= 60; }, 20,
                                    47998, 48000));
    for (const auto& [port, datagrams] : client.byPort) EXPECT_TRUE(port == 47998 || port == 48000) << port;
    for (const Bytes& d : client.byPort[47998]) EXPECT_EQ(d.size(), 32u + 512u);

    // Frames are numbered from 0 without gaps; the first is a keyframe, on a 90 kHz clock at 30 fps.
    const auto got = frames();
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].index, i);
    EXPECT_TRUE(got[0].keyframeFlag);
    EXPECT_NEAR(static_cast<double>(got[1].timestamp - got[0].timestamp), 3000, 1);

    // Audio: two parity datagrams after every four packets. What the frames and packets carry is decoded in
    // VideoSourcePeerTest, AudioSourceTest and the engine's end-to-end tests.
    EXPECT_NEAR(static_cast<double>(client.byPort[48000].size()), test::audioPayloads(client.byPort[48000]).size() * 1.5, 6);
    EXPECT_EQ(ports->streamedSessions(), 1);
}

TEST_F(MediaPortsStreaming, KeyframesWhenAskedAndANewSessionPerClient) {
    {
        test::UdpClient client(address);
        client.ping(47998);
        auto frames = [&] { return test::assembleFrames(client.byPort[47998]); };
        ASSERT_TRUE(client.receiveUntil([&] { return frames().size() >= 3; }, 20, 47998, 48000));

        auto keyframes = [&](long n) {
            const auto f = frames();
            return std::count_if(f.begin(), f.end(), [](const auto& x) { return x.keyframeFlag; }) >= n;
        };
        // Asked through the hook (as the box does for the client's control message) and directly.
        keyframeWanted = true;
        ASSERT_TRUE(client.receiveUntil([&] { return keyframes(2); }, 20, 47998, 48000));
        ports->requestKeyframe();
        ASSERT_TRUE(client.receiveUntil([&] { return keyframes(3); }, 20, 47998, 48000));

        // A client that stops pinging has ended its session: the media stops with it.
        ASSERT_TRUE(ports->waitForStreaming(false, 10));
        client.drain();
        const std::size_t before = client.byPort[47998].size() + client.byPort[48000].size();
        client.receiveUntil([] { return false; }, 0.3);
        EXPECT_EQ(client.byPort[47998].size() + client.byPort[48000].size(), before);
    }

    // The next client (a new socket) gets a session of its own from frame 0 and a keyframe.
    test::UdpClient next(address);
    next.ping(47998);
    ASSERT_TRUE(next.receiveUntil([&] { return !test::assembleFrames(next.byPort[47998]).empty(); }, 20, 47998, 48000));
    const auto first = test::assembleFrames(next.byPort[47998]).front();
    EXPECT_EQ(first.index, 0u);
    EXPECT_TRUE(first.keyframeFlag);
    EXPECT_EQ(ports->streamedSessions(), 2);
}

TEST_F(MediaPortsStreaming, StoppingThePortsEndsTheStream) {
    test::UdpClient client(address);
    client.ping(47998);
    ASSERT_TRUE(ports->waitForStreaming(true, 10));
    ports->stop();
    EXPECT_FALSE(ports->streaming());
    client.drain();
    const std::size_t before = client.byPort[47998].size();
    client.receiveUntil([] { return false; }, 0.2);
    EXPECT_EQ(client.byPort[47998].size(), before);
}

} // namespace
} // namespace corvane::boxsim
