#include "engine/session/SDP.hpp"
#include "engine/session/RTSP.hpp"
#include "engine/session/SessionKeys.hpp"
#include <gtest/gtest.h>
#include <tuple>

namespace corvane::stream {
namespace {

using Codec = StreamConfig::Codec;

StreamConfig hevc1080p() { return StreamConfig(1920, 1080, 60, 20000, Codec::hevc, 2, 1392); }

std::map<std::string, std::string> attributesOf(const StreamConfig& config) {
    return RTSP::sdpAttributes(SDP::announce(config, "10.77.0.2", 0));
}

TEST(SDPAnnounce, ValuesFollowTheConfig) {
    // The whole offer is pinned where the session sends it; here what varies with the arguments.
    // HDR only with HEVC.
    for (const auto& [codec, mode, hevcSupport, format] :
         {std::tuple{Codec::h264, "0", "0", "0"}, {Codec::hevc, "1", "1", "1"}, {Codec::av1, "0", "1", "2"}}) {
        auto config = hevc1080p();
        config.codec = codec;
        config.hdr = true;
        const auto a = attributesOf(config);
        EXPECT_EQ(a.at("x-nv-video[0].dynamicRangeMode"), mode);
        EXPECT_EQ(a.at("x-nv-clientSupportHevc"), hevcSupport);
        EXPECT_EQ(a.at("x-nv-vqos[0].bitStreamFormat"), format);
    }
    // The channel mask and the surround flag by channel count.
    for (const auto& [channels, mask, enabled] :
         {std::tuple{2, "3", "0"}, {6, "63", "1"}, {8, "1599", "1"}, {4, "3", "1"}}) {
        auto surround = hevc1080p();
        surround.audioChannels = channels;
        const auto a = attributesOf(surround);
        EXPECT_EQ(a.at("x-nv-audio.surround.numChannels"), std::to_string(channels));
        EXPECT_EQ(a.at("x-nv-audio.surround.channelMask"), mask) << channels;
        EXPECT_EQ(a.at("x-nv-audio.surround.enable"), enabled) << channels;
    }
    auto config = hevc1080p();
    config.yuv444 = true;
    config.bitrateKbps = -5;
    const auto a = attributesOf(config);
    EXPECT_EQ(a.at("x-ss-video[0].chromaSamplingType"), "1");
    EXPECT_EQ(a.at("x-nv-vqos[0].bw.minimumBitrateKbps"), "-5");
}

TEST(SessionKeys, AreFreshSixteenByteKeysAndCodecsComeOnlyFromKnownValues) {
    const auto a = SessionKeys::random();
    EXPECT_EQ(a.key.size(), 16u);
    EXPECT_NE(a, SessionKeys::random());
    EXPECT_EQ(StreamConfig::codecFromRaw(2), Codec::av1);
    EXPECT_FALSE(StreamConfig::codecFromRaw(3));
    EXPECT_FALSE(StreamConfig::codecFromRaw(-1));
}

} // namespace
} // namespace corvane::stream
