#include "engine/video/VideoDecoder.hpp"
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "engine/Uptime.hpp"
#include "engine/video/AnnexB.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/engine/video/VideoClips.hpp"

namespace corvane::stream {
namespace {

using corvane::test::clips::Clip;
using corvane::test::clips::ClipOptions;
using ClipCodec = corvane::test::clips::Codec;
using corvane::test::clips::expectedPictures;
using corvane::test::clips::tightBytes;
using Lines = std::vector<std::string>;
using Indexes = std::vector<std::uint32_t>;

VideoFrame frameOf(const Clip& clip, std::size_t unit, std::uint32_t index) {
    VideoFrame frame;
    frame.index = index;
    frame.rtpTimestamp = index * 3000;
    frame.data = clip.accessUnits.at(unit);
    frame.isKeyframe = AnnexB::isKeyframe(frame.data, clip.recipe.codec == ClipCodec::h264 ? StreamConfig::Codec::h264
                                                                                            : StreamConfig::Codec::hevc);
    frame.firstPacketAt = 1000.0 + index;
    frame.hostProcessingMs = 0.5 * index;
    return frame;
}

class VideoDecoderPeerTest : public ::testing::Test {
protected:
    Clip clip(ClipOptions recipe) { return corvane::test::clips::makeClip(folder.path(), std::move(recipe)); }
    // Records every picture by frame index, on a thread that must not be the caller's.
    void record(VideoDecoder& decoder) {
        decoder.onFrame = [this](const DecodedFrame& frame) {
            std::lock_guard guard(lock);
            frames[frame.frameIndex] = frame;
            order.push_back(frame.frameIndex);
            EXPECT_NE(std::this_thread::get_id(), caller);
        };
    }
    // Decodes the clip's access units as frames first..first+n-1 and checks every picture against ffmpeg.
    void decodeAndCompare(VideoDecoder& decoder, const Clip& clip, std::uint32_t first) {
        for (std::size_t i = 0; i < clip.accessUnits.size(); ++i)
            decoder.decode(frameOf(clip, i, first + static_cast<std::uint32_t>(i)));
        decoder.flush();
        const auto expected = expectedPictures(clip, decoder.tenBit);
        ASSERT_EQ(expected.size(), clip.accessUnits.size());
        std::lock_guard guard(lock);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const auto index = first + static_cast<std::uint32_t>(i);
            ASSERT_TRUE(frames.count(index) && frames[index].image) << "no picture for frame " << index;
            const DecodedFrame& frame = frames[index];
            EXPECT_EQ(frame.image->format(), decoder.tenBit ? platform::PixelBuffer::Format::x420
                                                            : platform::PixelBuffer::Format::bgra);
            EXPECT_EQ(frame.image->width(), clip.recipe.width);
            EXPECT_EQ(frame.image->height(), clip.recipe.height);
            EXPECT_EQ(frame.firstPacketAt, 1000.0 + index);
            EXPECT_EQ(frame.hostProcessingMs, 0.5 * index);
            EXPECT_GE(frame.decodedAt, start);
            EXPECT_TRUE(tightBytes(*frame.image) == expected[i]) << "picture of frame " << index << " differs";
        }
    }
    corvane::test::TempDir folder;
    corvane::test::EngineLogCapture log;
    const double start = uptimeSeconds();
    const std::thread::id caller = std::this_thread::get_id();
    std::mutex lock;
    std::map<std::uint32_t, DecodedFrame> frames;
    Indexes order;
};

TEST_F(VideoDecoderPeerTest, H264PicturesEqualFfmpegsInOrderAcrossParameterSetChanges) {
    // Three clips back to back, as after two changes of the box's screen: 320x240, the same size with other
    // encoder settings (other SPS/PPS bytes), then 640x360. Each has two keyframes with the same sets.
    const Clip first = clip({ClipCodec::h264, 320, 240, 10, 5});
    const Clip second = clip({ClipCodec::h264, 320, 240, 10, 5, false, "-profile:v main -refs 2 -crf 30"});
    const Clip third = clip({ClipCodec::h264, 640, 360, 10, 5});
    ASSERT_NE(first.accessUnits[0], second.accessUnits[0]);
    VideoDecoder decoder(StreamConfig::Codec::h264, false, 64, false);
    record(decoder);
    decodeAndCompare(decoder, first, 100);
    decodeAndCompare(decoder, second, 110);
    EXPECT_EQ(log.matching("video: decoder").size(), 1u); // the same size: the running session goes on
    decodeAndCompare(decoder, third, 120);
    EXPECT_EQ(log.matching("video: decoder"),
              (Lines{"video: decoder H.264 320x240, SOFTWARE", "video: decoder H.264 640x360, SOFTWARE"}));
    EXPECT_TRUE(log.matching("video: stream colors").empty());
    const auto stats = decoder.stats();
    EXPECT_TRUE(stats.decoded == 30 && stats.errors == 0 && stats.width == 640 && stats.height == 360);
    EXPECT_EQ(stats.hardware, std::optional<bool>(false));
    Indexes inOrder;
    for (std::uint32_t i = 100; i < 130; ++i) inOrder.push_back(i);
    std::lock_guard guard(lock);
    EXPECT_EQ(order, inOrder);
}

TEST_F(VideoDecoderPeerTest, HevcInEitherLayoutWithColourTagsOnlyForHdr) {
    const Clip hdr = clip({ClipCodec::hevc, 320, 240, 12, 6, true});
    const Clip plain = clip({ClipCodec::hevc, 318, 178, 8, 4});
    {
        VideoDecoder decoder(StreamConfig::Codec::hevc, true, 64, false);
        record(decoder);
        decodeAndCompare(decoder, hdr, 0);
        EXPECT_EQ(decoder.stats().decoded, 12);
    }
    {
        VideoDecoder decoder(StreamConfig::Codec::hevc, false, 64, false);
        record(decoder);
        decodeAndCompare(decoder, plain, 100);
    }
    // A 10-bit decoder of an 8-bit Main stream: pictures are 'x420' and the colour line says none.
    VideoDecoder decoder(StreamConfig::Codec::hevc, true, 64, false);
    record(decoder);
    for (std::uint32_t i = 0; i < plain.accessUnits.size(); ++i) decoder.decode(frameOf(plain, i, 200 + i));
    decoder.flush();
    EXPECT_EQ(decoder.stats().decoded, 8);
    {
        std::lock_guard guard(lock);
        EXPECT_EQ(frames[200].image->format(), platform::PixelBuffer::Format::x420);
    }
    EXPECT_EQ(log.matching("video: decoder"), (Lines{"video: decoder HEVC 320x240, SOFTWARE",
                                                     "video: decoder HEVC 318x178, SOFTWARE",
                                                     "video: decoder HEVC 318x178, SOFTWARE"}));
    EXPECT_EQ(log.matching("video: stream colors"),
              (Lines{"video: stream colors: transfer SMPTE_ST_2084_PQ, primaries ITU_R_2020, matrix ITU_R_2020",
                     "video: stream colors: transfer none, primaries none, matrix none"}));
}

}  // namespace
}  // namespace corvane::stream
