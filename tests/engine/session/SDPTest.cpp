#include "engine/session/SDP.hpp"

#include <map>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "engine/session/RTSP.hpp"

namespace corvane::stream {
namespace {

using Codec = StreamConfig::Codec;

StreamConfig hevc1080p() { return StreamConfig(1920, 1080, 60, 20000, Codec::hevc, 2, 1392); }

std::string offer(const StreamConfig& config, const std::string& client = "10.77.0.2", std::int64_t encryption = 1) {
    const Bytes bytes = SDP::announce(config, client, encryption);
    return std::string(bytes.begin(), bytes.end());
}

std::map<std::string, std::string> attributesOf(const StreamConfig& config) {
    return RTSP::sdpAttributes(SDP::announce(config, "10.77.0.2", 0));
}

TEST(SDPAnnounce, WritesTheWholeOfferInOrder) {
    EXPECT_EQ(offer(hevc1080p()),
              "v=0\r\n"
              "o=android 0 14 IN IPv4 10.77.0.2\r\n"
              "s=Corvane Streaming Client\r\n"
              "a=x-nv-general.serverAddress:rtsp://10.77.0.2:48010\r\n"
              "a=x-nv-general.featureFlags:0\r\n"
              "a=x-nv-general.useReliableUdp:13\r\n"
              "a=x-ml-general.featureFlags:0\r\n"
              "a=x-ss-general.encryptionEnabled:1\r\n"
              "a=x-nv-video[0].clientViewportWd:1920\r\n"
              "a=x-nv-video[0].clientViewportHt:1080\r\n"
              "a=x-nv-video[0].maxFPS:60\r\n"
              "a=x-nv-video[0].packetSize:1392\r\n"
              "a=x-nv-video[0].rateControlMode:4\r\n"
              "a=x-nv-video[0].timeoutLengthMs:7000\r\n"
              "a=x-nv-video[0].framesWithInvalidRefThreshold:0\r\n"
              "a=x-nv-video[0].maxNumReferenceFrames:1\r\n"
              "a=x-nv-video[0].encoderCscMode:2\r\n"
              "a=x-nv-video[0].dynamicRangeMode:0\r\n"
              "a=x-nv-video[0].videoEncoderSlicesPerFrame:1\r\n"
              "a=x-ss-video[0].chromaSamplingType:0\r\n"
              "a=x-ml-video.configuredBitrateKbps:20000\r\n"
              "a=x-nv-vqos[0].bw.maximumBitrateKbps:20000\r\n"
              "a=x-nv-vqos[0].bw.minimumBitrateKbps:20000\r\n"
              "a=x-nv-vqos[0].bitStreamFormat:1\r\n"
              "a=x-nv-clientSupportHevc:1\r\n"
              "a=x-nv-vqos[0].fec.enable:1\r\n"
              "a=x-nv-vqos[0].fec.minRequiredFecPackets:2\r\n"
              "a=x-nv-vqos[0].bllFec.enable:0\r\n"
              "a=x-nv-vqos[0].drc.enable:0\r\n"
              "a=x-nv-vqos[0].videoQualityScoreUpdateTime:5000\r\n"
              "a=x-nv-vqos[0].qosTrafficType:5\r\n"
              "a=x-nv-audio.surround.numChannels:2\r\n"
              "a=x-nv-audio.surround.channelMask:3\r\n"
              "a=x-nv-audio.surround.enable:0\r\n"
              "a=x-nv-audio.surround.AudioQuality:1\r\n"
              "a=x-nv-aqos.packetDuration:5\r\n"
              "a=x-nv-aqos.qosTrafficType:4\r\n"
              "t=0 0\r\n"
              "m=video 47998\r\n");
}

TEST(SDPAnnounce, ValuesFollowTheConfig) {
    const auto text = offer(hevc1080p(), "0.0.0.0", 0);
    EXPECT_NE(text.find("o=android 0 14 IN IPv4 0.0.0.0\r\n"), std::string::npos);
    EXPECT_NE(text.find("a=x-ss-general.encryptionEnabled:0\r\n"), std::string::npos);

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
    auto surround = hevc1080p();
    surround.audioChannels = 6;
    EXPECT_EQ(attributesOf(surround).at("x-nv-audio.surround.enable"), "1");
    auto config = hevc1080p();
    config.yuv444 = true;
    config.bitrateKbps = -5;
    const auto a = attributesOf(config);
    EXPECT_EQ(a.at("x-ss-video[0].chromaSamplingType"), "1");
    EXPECT_EQ(a.at("x-nv-vqos[0].bw.minimumBitrateKbps"), "-5");
}

} // namespace
} // namespace corvane::stream
