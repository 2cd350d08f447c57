// The video road from the simulated box to decoded pictures, over loopback.
#include "engine/video/VideoPipeline.hpp"
#include <gtest/gtest.h>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include "boxsim/Box.hpp"
#include "boxsim/media/VideoPacketizer.hpp"
#include "engine/session/StreamSession.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

// A session started right after another one ended: datagrams of the earlier stream's frame 600 reach the new
// media port before the new stream's first frame. They must not decide where the new stream starts (else its
// frames would all be late for the next ten seconds).
TEST(VideoPipelineIntegrationTest, AStreamStartsBehindAnEarlierStreamsDatagrams) {
    test::EngineLogCapture log;
    test::TempDir dir;
    const std::string address = test::uniqueLoopbackAddress();
    boxsim::Box::Options options;
    options.address = address;
    options.streamMedia = true;
    options.media.audio = false;
    Bytes slice{0, 0, 0, 1, 0x41};
    slice.resize(6000, 0x5A);
    options.media.earlierVideo = boxsim::VideoPacketizer(1392, 20).packetize(slice, 600, 600 * 1500, false);
    options.media.earlierVideo.resize(2);
    std::mutex sentLock;
    std::condition_variable sentChanged;
    std::optional<std::pair<std::uint32_t, bool>> firstSent;  // index, keyframe: as the box told of it
    options.onFrameSent = [&](const boxsim::MediaStreamer::SentFrame& frame) {
        std::lock_guard guard(sentLock);
        if (firstSent) return;
        firstSent.emplace(frame.index, frame.keyframe);
        sentChanged.notify_all();
    };
    auto box = std::make_shared<boxsim::Box>(options);
    box->start();
    const auto host = test::boxHostFor(address, dir.path());
    test::pairWithBox(*host, box);

    auto session = std::make_shared<StreamSession>(
        host, StreamConfig(640, 360, 60, 3000, StreamConfig::Codec::h264, 2, 1392), 881448767);
    VideoPipeline::Options pipelineOptions;
    pipelineOptions.allowHardware = false;
    auto pipeline = VideoPipeline::make(StreamConfig::Codec::h264, session, pipelineOptions);
    std::atomic<std::uint32_t> firstIndex{0};  // the frame index of the first datagram that came in
    pipeline->tap = [&](ByteView datagram) {
        std::uint32_t none = 0;
        if (datagram.size() >= 24) firstIndex.compare_exchange_strong(none, datagram[20] | datagram[21] << 8);
    };
    std::promise<void> decoded;
    std::atomic<bool> first{true};
    pipeline->setOnDecoded([&](const DecodedFrame&) {
        if (first.exchange(false)) decoded.set_value();
    });
    session->start(false);
    EXPECT_TRUE(decoded.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready)
        << "no picture within 5 s";
    EXPECT_EQ(firstIndex, 600u);
    {
        // The box told of its own first picture (the keyframe the session decoded), not of the strays. It
        // tells once the datagrams have gone, so the picture may be decoded here before it has told.
        std::unique_lock guard(sentLock);
        EXPECT_TRUE(sentChanged.wait_for(guard, std::chrono::seconds(20), [&] { return firstSent.has_value(); }));
        EXPECT_EQ(firstSent, std::make_pair(0u, true));
    }
    session->stop(false);
    pipeline.reset();
    session.reset();
    box->stop();
}

}  // namespace
}  // namespace corvane::stream
