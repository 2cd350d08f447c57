#include "engine/video/VideoDecoder.hpp"
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "tests/support/EngineLogCapture.hpp"

namespace corvane::stream {
namespace {

// Parameter sets of a 320x240 constrained-baseline H.264 stream from x264.
const Bytes sps320x240 = {0x67, 0x42, 0xC0, 0x0D, 0xDA, 0x05, 0x07, 0xEC, 0x04, 0x40, 0x00,
                          0x00, 0x03, 0x00, 0x40, 0x00, 0x00, 0x0F, 0x23, 0xC5, 0x0A, 0xA8};
const Bytes pps = {0x68, 0xCE, 0x0F, 0xC8};

VideoFrame frame(std::uint32_t index, const std::vector<Bytes>& units, bool keyframe) {
    VideoFrame out;
    out.index = index;
    for (const Bytes& unit : units) {
        out.data.insert(out.data.end(), {0, 0, 0, 1});
        out.data.insert(out.data.end(), unit.begin(), unit.end());
    }
    out.isKeyframe = keyframe;
    return out;
}

TEST(VideoDecoderTest, ConfiguresOnlyFromReadableSetsInAKeyframeAndOnlyOnceForTheSameSets) {
    corvane::test::EngineLogCapture log;
    VideoDecoder decoder(StreamConfig::Codec::h264, false, 8, false);
    int pictures = 0;
    decoder.onFrame = [&](const DecodedFrame&) { ++pictures; };
    // Non-key frames, a keyframe without parameter sets, and sets in a frame not marked key find no
    // session: dropped, not counted.
    decoder.decode(frame(1, {{0x41, 0x9A, 0x02}}, false));
    decoder.decode(frame(2, {{0x65, 0x88, 0x84}}, true));
    decoder.decode(frame(3, {sps320x240, pps, {0x41, 0x9A}}, false));
    decoder.flush();
    EXPECT_EQ(decoder.stats(), VideoDecoder::Stats{});
    EXPECT_TRUE(log.matching("video: decoder").empty());
    try {
        decoder.decode(frame(4, {pps, {0x65, 0x88}}, true)); // no sequence set: no size
        FAIL() << "accepted a keyframe without a sequence parameter set";
    } catch (const VideoDecoder::Error& error) {
        EXPECT_EQ(error.kind, VideoDecoder::Error::Kind::formatDescription);
        EXPECT_EQ(std::string(error.what()), "video format not accepted (" + std::to_string(error.status) + ")");
        EXPECT_LT(error.status, 0);
    }
    decoder.decode(frame(5, {sps320x240, pps}, true));
    decoder.decode(frame(6, {sps320x240, pps}, true)); // byte for byte the same: nothing happens
    // A cut-short sequence set later on is refused, and the running format stays.
    EXPECT_THROW(decoder.decode(frame(7, {Bytes(sps320x240.begin(), sps320x240.begin() + 6), pps, {0x65, 0x88}}, true)),
                 VideoDecoder::Error);
    decoder.flush();
    const auto stats = decoder.stats();
    EXPECT_EQ(std::tuple(stats.width, stats.height, stats.decoded, stats.errors, pictures), std::tuple(320, 240, 0, 0, 0));
    // No picture yet, so libavcodec has not settled on hardware or software: nothing is claimed.
    EXPECT_EQ(stats.hardware, std::nullopt);
    EXPECT_TRUE(log.matching("video: decoder").empty());
}

}  // namespace
}  // namespace corvane::stream
