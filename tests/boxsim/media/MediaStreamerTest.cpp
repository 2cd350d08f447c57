#include "boxsim/media/MediaStreamer.hpp"
#include <tuple>
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

} // namespace
} // namespace corvane::boxsim
