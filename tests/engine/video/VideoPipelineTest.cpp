#include "engine/video/VideoPipeline.hpp"
#include <gtest/gtest.h>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>
#include "boxsim/media/VideoPacketizer.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

std::shared_ptr<StreamSession> makeSession(StreamConfig::Codec codec, bool hdr = false) {
    StreamConfig config(320, 240, 60, 10000, codec, 2, 1392);
    config.hdr = hdr;
    // No box behind it: keyframe requests find no control channel and are dropped there.
    return std::make_shared<StreamSession>(nullptr, config, 1);
}

// A made-up slice of `bytes` non-zero bytes behind an H.264 slice header byte.
Bytes slice(bool idr, std::size_t bytes) {
    Bytes unit{0, 0, 0, 1, static_cast<std::uint8_t>(idr ? 0x65 : 0x41)};
    for (std::size_t i = 0; i < bytes; ++i) unit.push_back(static_cast<std::uint8_t>(i % 250 + 1));
    return unit;
}

class VideoPipelineTest : public ::testing::Test {
protected:
    std::shared_ptr<VideoPipeline> make(VideoPipeline::Options options = {}) {
        options.now = [now = now] { return *now; };
        options.allowHardware = false;
        return VideoPipeline::make(StreamConfig::Codec::h264, session, options);
    }
    std::vector<Bytes> datagrams(std::uint32_t index, bool key, std::size_t bytes = 600, const Bytes& head = {}) {
        Bytes unit = head;
        const Bytes body = slice(key, bytes);
        unit.insert(unit.end(), body.begin(), body.end());
        return packetizer.packetize(unit, index, index * 1500, key);
    }
    void send(const std::vector<Bytes>& all) {
        for (const auto& datagram : all) session->videoHandler(datagram);
    }
    // At `time`, the first datagram of frame index + 1 finds frame `index` incomplete: lost.
    void loseFrameAt(double time, std::uint32_t index) {
        *now = time;
        session->videoHandler(datagrams(index + 1, false).front());
    }
    std::shared_ptr<StreamSession> session = makeSession(StreamConfig::Codec::h264);
    boxsim::VideoPacketizer packetizer{200, 20};
    std::shared_ptr<double> now = std::make_shared<double>(0.0);
    corvane::test::EngineLogCapture log;
};

TEST_F(VideoPipelineTest, KeyframeRequestsAreSpacedByMoreThanATenthOfASecond) {
    const auto pipeline = make();
    session->videoHandler(datagrams(0, false).front());
    loseFrameAt(0.1, 0);  // sent
    loseFrameAt(0.15, 1); // 0.05 s later: not sent
    loseFrameAt(0.2, 2);  // exactly 0.1 s after the last one sent: not sent
    EXPECT_EQ(pipeline->stats().keyframeRequests, 1);
    loseFrameAt(0.25, 3); // 0.15 s after it: sent
    EXPECT_EQ(pipeline->stats().keyframeRequests, 2);
    // Whole frames that go by while a keyframe is awaited ask again, spaced the same way.
    for (const auto& [time, frame] : {std::pair{0.3, 5u}, {0.4, 6u}}) {
        *now = time;
        send(datagrams(frame, false));
    }
    EXPECT_EQ(pipeline->stats().keyframeRequests, 3);
    EXPECT_EQ(pipeline->stats().framesSkippedWaitingForKeyframe, 2);
    EXPECT_EQ(pipeline->stats().framesLost, 5);
    // With the session gone the request is still counted and timed, and nothing is sent.
    const auto handler = session->videoHandler;
    session.reset();
    for (std::uint32_t frame = 8; frame <= 10; ++frame) {
        *now = frame == 10 ? 1.05 : 1.0;
        handler(packetizer.packetize(slice(false, 600), frame, frame * 1500, false).front());
    }
    EXPECT_EQ(pipeline->stats().framesLost, 8);
    EXPECT_EQ(pipeline->stats().keyframeRequests, 4);
}

TEST_F(VideoPipelineTest, ADecodeErrorIsLoggedAndAsksForOneKeyframe) {
    const auto pipeline = make();
    // A keyframe whose only parameter set is a PPS: the decoder cannot build a format from it.
    const Bytes ppsOnly{0, 0, 0, 1, 0x68, 0xCE, 0x0F, 0xC8};
    *now = 5.0;
    send(datagrams(0, true, 300, ppsOnly));
    *now = 5.05;
    send(datagrams(1, true, 300, ppsOnly));
    const auto lines = log.matching("video: video format not accepted (");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].back(), ')');
    const auto stats = pipeline->stats();
    EXPECT_EQ(std::tuple(stats.framesDelivered, stats.keyframeRequests, stats.decoded), std::tuple(2, 1, 0));
    EXPECT_EQ(stats.decodeErrors, 0); // configuration failures are not counted as decode errors
}

TEST_F(VideoPipelineTest, SimulatedLossDropsAfterCountingAndTapping) {
    const auto pipeline = make();
    std::vector<Bytes> tapped;
    pipeline->tap = [&](ByteView datagram) { tapped.emplace_back(datagram.begin(), datagram.end()); };
    pipeline->setSimulatedLossPercent(100);
    const auto dropped = datagrams(0, true, 900);
    send(dropped);
    auto stats = pipeline->stats();
    EXPECT_EQ(std::pair(stats.packets, stats.simulatedDrops), std::pair(std::int64_t(dropped.size()), std::int64_t(dropped.size())));
    EXPECT_EQ(stats.framesDelivered + stats.framesLost + stats.badPackets, 0);
    EXPECT_EQ(tapped, dropped);
    // Off again: everything reaches the assembler.
    pipeline->setSimulatedLossPercent(0);
    send(datagrams(1, true, 900));
    stats = pipeline->stats();
    EXPECT_EQ(stats.simulatedDrops, static_cast<std::int64_t>(dropped.size()));
    EXPECT_EQ(stats.framesDelivered, 1);
}

TEST_F(VideoPipelineTest, LifetimeAndConstruction) {
    // The session's handler does not keep a released pipeline alive, and calling it is harmless.
    std::weak_ptr<VideoPipeline> weak = make();
    EXPECT_TRUE(weak.expired());
    ASSERT_TRUE(session->videoHandler);
    send(datagrams(0, true, 900));
    // AV1 is refused before the session's handler is touched.
    int earlierHandlerCalls = 0;
    auto av1 = makeSession(StreamConfig::Codec::av1);
    av1->videoHandler = [&](ByteView) { ++earlierHandlerCalls; };
    const auto refused = test::errorOf<VideoDecoder::Error>([&] { VideoPipeline::make(StreamConfig::Codec::av1, av1); });
    ASSERT_TRUE(refused.has_value());
    EXPECT_STREQ(refused->what(), "AV1 is not supported yet");
    EXPECT_EQ(refused->kind, VideoDecoder::Error::Kind::unsupported);
    av1->videoHandler(Bytes{1, 2, 3});
    EXPECT_EQ(earlierHandlerCalls, 1);
    EXPECT_TRUE(VideoPipeline::make(StreamConfig::Codec::hevc, makeSession(StreamConfig::Codec::hevc, true))->decoder().tenBit);
}

// Between datagrams the media thread ticks the pipeline. Without a picture, one is asked for from 0.5 s after
// the first tick, twice a second; a first keyframe cut short is lost a tenth of a second after its last packet
// and asked for. A loss held back by the spacing is asked for once the spacing allows; then, while no keyframe
// comes, every half second, and no more once one came.
TEST_F(VideoPipelineTest, TicksLoseAFrameThatStoppedAndAskAgainUntilAKeyframeComes) {
    const auto pipeline = make();
    auto tick = [&](int fromMs, int toMs) {
        for (int ms = fromMs; ms <= toMs; ms += 25) {
            *now = ms / 1000.0;
            session->videoTick();
        }
        return pipeline->stats().keyframeRequests;
    };
    EXPECT_EQ(tick(0, 475), 0);
    EXPECT_EQ(tick(500, 1000), 1);
    EXPECT_EQ(tick(1025, 1200), 2);
    session->videoHandler(datagrams(1, true).front());
    EXPECT_EQ(tick(1200, 1275), 2);
    EXPECT_EQ(tick(1300, 1300), 3);
    // The keyframe asked for is cut short too; the next frame loses it 0.05 s after the request.
    session->videoHandler(datagrams(2, true).front());
    *now = 1.35;
    send(datagrams(3, false));
    EXPECT_EQ(pipeline->stats().framesLost, 2);
    EXPECT_EQ(tick(1350, 1400), 3);
    EXPECT_EQ(tick(1425, 1450), 4);
    EXPECT_EQ(tick(1475, 1925), 4);
    EXPECT_EQ(tick(1950, 1975), 5);
    send(datagrams(4, true));
    ASSERT_EQ(pipeline->stats().framesDelivered, 1);
    EXPECT_EQ(tick(2000, 6000), 5);
    EXPECT_EQ(log.count("video: no picture 0.5 s after the media began; asking for a keyframe"), 1u);
}

TEST_F(VideoPipelineTest, WatchdogWarnsOnlyWhenNoDatagramCameWithinThreeSecondsAndAsksForAMissingPicture) {
    const std::string warning = "WARNING: video: no video packets 3 s after the session started";
    const std::string asking = "video: no picture 3 s after the session started; asking for a keyframe";
    std::vector<double> delays;
    std::mutex delaysLock;
    VideoPipeline::Options options;
    options.sleep = [&](std::stop_token, double seconds) {
        std::lock_guard guard(delaysLock);
        delays.push_back(seconds);
        return true;
    };
    make(options)->startWatchdog(); // silent: released only after its check, which warns
    {
        // Datagrams came, even though the simulation dropped every one.
        const auto dropping = make(options);
        dropping->setSimulatedLossPercent(100);
        session->videoHandler(datagrams(0, true, 100).front());
        dropping->startWatchdog();
    }
    {
        // A picture came: nothing to ask for.
        const auto shown = make(options);
        send(datagrams(0, true, 100));
        ASSERT_EQ(shown->stats().framesDelivered, 1);
        shown->startWatchdog();
    }
    // Released before its time: the wait ends with it, silently.
    options.sleep = [](std::stop_token stop, double) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock wait(mutex);
        wake.wait(wait, stop, [] { return false; });
        return false;
    };
    make(options)->startWatchdog();
    EXPECT_EQ(log.matching(warning), std::vector<std::string>{warning});
    EXPECT_EQ(log.matching(asking), (std::vector<std::string>{asking, asking}));  // the silent and the dropping one
    EXPECT_EQ(delays, (std::vector<double>{3.0, 3.0, 3.0}));
}

}  // namespace
}  // namespace corvane::stream
