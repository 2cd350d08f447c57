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

// (H.264 pictures against ffmpeg's: the platform decoder's test; through the whole pipeline: the view's.)
TEST_F(VideoDecoderPeerTest, HevcPicturesEqualFfmpegsAcrossASizeAndProfileChangeWithColourTagsOnlyForHdr) {
    const Clip hdr = clip({ClipCodec::hevc, 320, 240, 12, 6, true});
    const Clip plain = clip({ClipCodec::hevc, 318, 178, 8, 4});
    VideoDecoder decoder(StreamConfig::Codec::hevc, true, 64, false);
    record(decoder);
    decodeAndCompare(decoder, hdr, 0);
    // An 8-bit Main stream follows in the same decoder: pictures stay 'x420' and the colour line says none.
    for (std::uint32_t i = 0; i < plain.accessUnits.size(); ++i) decoder.decode(frameOf(plain, i, 200 + i));
    decoder.flush();
    const auto stats = decoder.stats();
    EXPECT_TRUE(stats.decoded == 20 && stats.errors == 0 && stats.width == 318 && stats.height == 178);
    EXPECT_EQ(stats.hardware, std::optional<bool>(false));
    EXPECT_EQ(log.matching("video: decoder"),
              (Lines{"video: decoder HEVC 320x240, SOFTWARE", "video: decoder HEVC 318x178, SOFTWARE"}));
    EXPECT_EQ(log.matching("video: stream colors"),
              (Lines{"video: stream colors: transfer SMPTE_ST_2084_PQ, primaries ITU_R_2020, matrix ITU_R_2020",
                     "video: stream colors: transfer none, primaries none, matrix none"}));
    Indexes inOrder;
    for (std::uint32_t i = 0; i < 20; ++i) inOrder.push_back(i < 12 ? i : 188 + i);
    std::lock_guard guard(lock);
    EXPECT_EQ(order, inOrder);
    ASSERT_TRUE(frames.count(200) && frames[200].image);
    EXPECT_EQ(frames[200].image->format(), platform::PixelBuffer::Format::x420);
}

}  // namespace
}  // namespace corvane::stream
