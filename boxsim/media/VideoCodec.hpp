#pragma once

#include <optional>
#include <string_view>

namespace corvane::boxsim {

// The video codecs a client can ask for, by the number its SDP offer carries as the bit-stream format.
enum class VideoCodec { h264 = 0, hevc = 1, av1 = 2 };

constexpr std::string_view toString(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::h264: return "h264";
    case VideoCodec::hevc: return "hevc";
    case VideoCodec::av1: return "av1";
    }
    return "?";
}

// The codec for an offer's bit-stream format number; none for a number we do not know.
constexpr std::optional<VideoCodec> videoCodecFromFormat(long long format) {
    switch (format) {
    case 0: return VideoCodec::h264;
    case 1: return VideoCodec::hevc;
    case 2: return VideoCodec::av1;
    default: return std::nullopt;
    }
}

} // namespace corvane::boxsim
