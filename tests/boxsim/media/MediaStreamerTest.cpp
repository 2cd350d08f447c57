#include "boxsim/media/MediaStreamer.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace corvane::boxsim {
namespace {

TEST(MediaStreamer, TakesTheStreamShapeFromTheOfferAndKeepsDefaultsForUnusableValues) {
    const char* describe =
        "a=fmtp:97 surround-params=642012453\r\n"
        "a=fmtp:97 surround-params=6 4 2 0 1 4 5 2 3\r\n";
    MediaStreamer::Options base;
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

TEST(MediaStreamer, StopEndsBothStreamsAndAnUnknownCodecOnlyTheVideo) {
    std::atomic<int> video{0}, audio{0};
    MediaStreamer::Options options;
    options.format = VideoSource::Format{320, 240, 30, 1000, VideoCodec::av1};
    MediaStreamer::Sinks sinks;
    sinks.video = [&](ByteView) { ++video; return true; };
    sinks.audio = [&](ByteView) { ++audio; return false; };  // a failed send is counted
    MediaStreamer streamer(options, sinks);
    streamer.start();
    for (int i = 0; i < 400 && streamer.stats().audioDatagrams < 12; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    streamer.stop();
    const auto stats = streamer.stats();
    EXPECT_GE(stats.audioDatagrams, 12);
    EXPECT_EQ(stats.sendFailures, stats.audioDatagrams);
    EXPECT_EQ(stats.frames, 0);
    EXPECT_EQ(video.load(), 0);
    EXPECT_EQ(audio.load(), stats.audioDatagrams);  // nothing more after stop
    streamer.stop();
}

} // namespace
} // namespace corvane::boxsim
