#include "boxsim/media/MediaStreamer.hpp"
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>
#include <gtest/gtest.h>

namespace corvane::boxsim {
namespace {

TEST(MediaStreamer, TakesTheStreamShapeFromTheOfferAndKeepsDefaultsForUnusableValues) {
    const char* describe =
        "a=fmtp:97 surround-params=642012453\r\n"
        "a=fmtp:97 surround-params=6 4 2 0 1 4 5 2 3\r\n";
    MediaStreamer::Options base;
    // The box's own shape where the offer says nothing: 1392-byte packets, 20 % parity, at least 2 shards.
    EXPECT_EQ(std::tuple(base.packetSize, base.parityPercent, base.minParityShards), std::tuple(1392, 20, 2));
    const auto options = MediaStreamer::forOffer(
        base,
        {{"x-nv-video[0].clientViewportWd", "2560"}, {"x-nv-video[0].clientViewportHt", "1440"},
         {"x-nv-video[0].maxFPS", "120"}, {"x-nv-video[0].packetSize", "1024"},
         {"x-nv-vqos[0].bw.maximumBitrateKbps", "50000"}, {"x-nv-vqos[0].bitStreamFormat", "1"},
         {"x-nv-vqos[0].fec.minRequiredFecPackets", "3"}, {"x-nv-audio.surround.numChannels", "6"}},
        describe);
    EXPECT_EQ(options.format, (VideoSource::Format{2560, 1440, 120, 50000, VideoCodec::hevc}));
    EXPECT_EQ(options.packetSize, 1024);
    EXPECT_EQ(options.minParityShards, 3);
    EXPECT_EQ(options.audioLayout, (AudioLayout{6, 4, 2, {0, 1, 4, 5, 2, 3}}));
    EXPECT_EQ(MediaStreamer::forOffer(base, {{"x-nv-audio.surround.numChannels", "8"}}, describe).audioLayout,
              AudioLayout::standard(8));
    const MediaStreamer::Attributes hostile = {
        {"x-nv-video[0].clientViewportWd", "-1920"}, {"x-nv-video[0].clientViewportHt", "1080px"},
        {"x-nv-video[0].maxFPS", "99999999999999999999"}, {"x-nv-video[0].packetSize", "0"},
        {"x-nv-vqos[0].bitStreamFormat", "7"}, {"x-nv-audio.surround.numChannels", ""},
    };
    EXPECT_EQ(MediaStreamer::forOffer(base, hostile, describe), base);
}

TEST(MediaStreamer, FramesAreNumberedFromAKeyframeOnTheNinetyKilohertzClock) {
    // Frame index, timestamp and frame type of each picture's first datagram, as the video thread sends them.
    std::mutex mutex;
    std::vector<std::tuple<std::uint32_t, std::uint32_t, int>> firsts;
    std::atomic<int> audio{0};
    MediaStreamer::Options options;
    options.format = VideoSource::Format{320, 240, 30, 1000, VideoCodec::h264};
    MediaStreamer::Sinks sinks;
    sinks.video = [&](ByteView d) {
        if (d.size() < 36) return true;  // too short for a frame's first datagram: the count below fails
        if ((d[27] & 0x30) == 0 && (((d[29] >> 4) | (d[30] << 4)) & 0x3FF) == 0) {  // block 0, shard 0
            std::lock_guard guard(mutex);
            firsts.emplace_back(d[20] | d[21] << 8 | d[22] << 16 | std::uint32_t(d[23]) << 24,
                                std::uint32_t(d[4]) << 24 | d[5] << 16 | d[6] << 8 | d[7], d[35]);
        }
        return true;
    };
    sinks.audio = [&](ByteView) { ++audio; return false; };  // a failed send is counted
    MediaStreamer streamer(options, sinks);
    streamer.start();
    const auto frames = [&] {
        std::lock_guard guard(mutex);
        return firsts.size();
    };
    for (int i = 0; i < 1000 && (frames() < 4 || audio < 12); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    streamer.stop();
    std::lock_guard guard(mutex);
    ASSERT_GE(firsts.size(), 4u);
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        EXPECT_EQ(std::get<0>(firsts[i]), i);
        EXPECT_NEAR(static_cast<double>(std::get<1>(firsts[i]) - std::get<1>(firsts[0])), 3000.0 * static_cast<double>(i), 1);
        EXPECT_EQ(std::get<2>(firsts[i]), i == 0 ? 2 : 1) << i;
    }
    EXPECT_EQ(streamer.stats().sendFailures, audio.load());
}

} // namespace
} // namespace corvane::boxsim
