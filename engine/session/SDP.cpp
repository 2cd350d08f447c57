#include "engine/session/SDP.hpp"

#include <utility>
#include <vector>

namespace corvane::stream::SDP {

Bytes announce(const StreamConfig& config, const std::string& clientAddress, std::int64_t encryption) {
    using Codec = StreamConfig::Codec;
    auto number = [](std::int64_t value) { return std::to_string(value); };
    auto flag = [](bool value) { return std::string(value ? "1" : "0"); };

    std::int64_t channelMask = 3;
    if (config.audioChannels == 6) channelMask = 63;
    if (config.audioChannels == 8) channelMask = 1599;
    const std::string bitrate = number(config.bitrateKbps);

    const std::vector<std::pair<std::string, std::string>> attributes = {
        {"x-nv-general.serverAddress", "rtsp://" + clientAddress + ":48010"},
        {"x-nv-general.featureFlags", "0"},
        {"x-nv-general.useReliableUdp", "13"},
        {"x-ml-general.featureFlags", "0"},
        {"x-ss-general.encryptionEnabled", number(encryption)},
        {"x-nv-video[0].clientViewportWd", number(config.width)},
        {"x-nv-video[0].clientViewportHt", number(config.height)},
        {"x-nv-video[0].maxFPS", number(config.fps)},
        {"x-nv-video[0].packetSize", number(config.packetSize)},
        {"x-nv-video[0].rateControlMode", "4"},
        {"x-nv-video[0].timeoutLengthMs", "7000"},
        {"x-nv-video[0].framesWithInvalidRefThreshold", "0"},
        {"x-nv-video[0].maxNumReferenceFrames", "1"},
        {"x-nv-video[0].encoderCscMode", "2"},
        // HDR is only offered with HEVC.
        {"x-nv-video[0].dynamicRangeMode", flag(config.hdr && config.codec == Codec::hevc)},
        {"x-nv-video[0].videoEncoderSlicesPerFrame", "1"},
        {"x-ss-video[0].chromaSamplingType", flag(config.yuv444)},
        {"x-ml-video.configuredBitrateKbps", bitrate},
        {"x-nv-vqos[0].bw.maximumBitrateKbps", bitrate},
        {"x-nv-vqos[0].bw.minimumBitrateKbps", bitrate},
        {"x-nv-vqos[0].bitStreamFormat", number(static_cast<int>(config.codec))},
        {"x-nv-clientSupportHevc", flag(config.codec != Codec::h264)},
        {"x-nv-vqos[0].fec.enable", "1"},
        {"x-nv-vqos[0].fec.minRequiredFecPackets", "2"},
        {"x-nv-vqos[0].bllFec.enable", "0"},
        {"x-nv-vqos[0].drc.enable", "0"},
        {"x-nv-vqos[0].videoQualityScoreUpdateTime", "5000"},
        {"x-nv-vqos[0].qosTrafficType", "5"},
        {"x-nv-audio.surround.numChannels", number(config.audioChannels)},
        {"x-nv-audio.surround.channelMask", number(channelMask)},
        {"x-nv-audio.surround.enable", flag(config.audioChannels > 2)},
        {"x-nv-audio.surround.AudioQuality", "1"},
        {"x-nv-aqos.packetDuration", "5"},
        {"x-nv-aqos.qosTrafficType", "4"},
    };

    std::string text = "v=0\r\n";
    text += "o=android 0 14 IN IPv4 " + clientAddress + "\r\n";
    text += "s=Corvane Streaming Client\r\n";
    for (const auto& [key, value] : attributes) text += "a=" + key + ":" + value + "\r\n";
    text += "t=0 0\r\n";
    text += "m=video 47998\r\n";
    return bytesOf(text);
}

} // namespace corvane::stream::SDP
