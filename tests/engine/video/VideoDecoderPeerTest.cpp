#include "engine/video/VideoDecoder.hpp"
#include <gtest/gtest.h>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "engine/Uptime.hpp"
#include "boxsim/media/VideoPacketizer.hpp"
#include "engine/video/AnnexB.hpp"
#include "engine/video/VideoPipeline.hpp"
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
    frame.completedAt = 1000.5 + index;
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
        const auto expected = expectedPictures(clip);
        ASSERT_EQ(expected.size(), clip.accessUnits.size());
        using Picture = platform::PixelBuffer;
        const Picture::ColorSpace colors = clip.recipe.tenBitHDR ? Picture::hdr10 : Picture::ColorSpace{};
        std::lock_guard guard(lock);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const auto index = first + static_cast<std::uint32_t>(i);
            ASSERT_TRUE(frames.count(index)) << "no frame " << index;
            ASSERT_TRUE(frames[index].image) << "no picture for frame " << index;
            const DecodedFrame& frame = frames[index];
            // The decoder's own planes, with the colours the stream signals.
            EXPECT_EQ(frame.image->format(), clip.recipe.tenBitHDR ? Picture::Format::i010 : Picture::Format::nv12);
            EXPECT_EQ(frame.image->colorSpace(), colors);
            EXPECT_EQ(frame.image->width(), clip.recipe.width);
            EXPECT_EQ(frame.image->height(), clip.recipe.height);
            EXPECT_EQ(frame.firstPacketAt, 1000.0 + index);
            EXPECT_EQ(frame.hostProcessingMs, 0.5 * index);
            EXPECT_EQ(frame.assembledAt, 1000.5 + index);
            EXPECT_LE(start, frame.queuedAt);
            EXPECT_LE(frame.queuedAt, frame.decodeStartedAt);
            EXPECT_LE(frame.decodeStartedAt, frame.decodedAt);
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
    // An 8-bit Main stream follows in the same decoder: its pictures are 8-bit and the colour line says none.
    for (std::uint32_t i = 0; i < plain.accessUnits.size(); ++i) decoder.decode(frameOf(plain, i, 200 + i));
    decoder.flush();
    const auto stats = decoder.stats();
    EXPECT_EQ(std::tuple(stats.decoded, stats.errors, stats.width, stats.height), std::tuple(20, 0, 318, 178));
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
    ASSERT_TRUE(frames.count(200));
    ASSERT_TRUE(frames[200].image);
    EXPECT_EQ(frames[200].image->format(), platform::PixelBuffer::Format::nv12);
}

TEST_F(VideoDecoderPeerTest, TenBitPicturesCarryTheColoursTheirStreamSignalsAndAreHdr10OnlyInAnHdrSession) {
    using Color = platform::PixelBuffer::ColorSpace;
    using M = Color::Matrix;
    using T = Color::Transfer;
    using P = Color::Primaries;
    namespace C = corvane::test::clips::colours;
    struct Row {
        const char* name;
        std::string colours;  // x265's colour description
        bool hdrSession;
        Color expected;
    };
    const Row rows[] = {
        {"BT.709", C::bt709, false, {M::bt709, false, T::sdr, P::bt709}},
        {"BT.709 in an HDR session", C::bt709, true, {M::bt709, false, T::sdr, P::bt709}},
        {"BT.2020 standard range, full", C::bt2020 + ":range=full", false,
         {M::bt2020, true, T::sdr, P::bt2020}},
        {"SMPTE 170M", C::smpte170m, false, {M::bt601, false, T::sdr, P::bt709}},
        {"sRGB", "colorprim=bt709:transfer=iec61966-2-1:colormatrix=bt709", false, {M::bt709, false, T::sdr, P::bt709}},
        {"PQ", C::pq, false, platform::PixelBuffer::hdr10},
        {"HLG", C::hlg, false, {M::bt2020, false, T::hlg, P::bt2020}},
        {"PQ with BT.709 primaries", "colorprim=bt709:transfer=smpte2084:colormatrix=bt709", false, {M::bt709, false, T::pq, P::bt709}},
        {"none", "", false, Color{}},
        {"none in an HDR session", "", true, platform::PixelBuffer::hdr10},
    };
    for (const Row& row : rows) {
        ClipOptions recipe{ClipCodec::hevc, 64, 64, 2, 2};
        recipe.tenBitColours = row.colours;
        const Clip stream = clip(recipe);
        VideoDecoder decoder(StreamConfig::Codec::hevc, row.hdrSession, 64, false);
        record(decoder);
        for (std::uint32_t i = 0; i < stream.accessUnits.size(); ++i) decoder.decode(frameOf(stream, i, i));
        decoder.flush();
        std::lock_guard guard(lock);
        ASSERT_EQ(frames.size(), 2u) << row.name;
        for (const auto& [index, frame] : frames) {
            ASSERT_TRUE(frame.image) << row.name;
            EXPECT_EQ(frame.image->format(), platform::PixelBuffer::Format::i010) << row.name;
            const Color& got = frame.image->colorSpace();
            EXPECT_EQ(got, row.expected) << row.name << ": matrix " << int(got.matrix) << ", full " << got.fullRange
                                         << ", transfer " << int(got.transfer) << ", primaries " << int(got.primaries);
            EXPECT_EQ(frame.image->highDynamicRange(), row.expected.transfer != T::sdr) << row.name;
        }
        frames.clear();
    }
    // Only an HDR session has colours to take for those a stream leaves unsaid, and names them.
    const std::string tags = "video: stream colors: transfer SMPTE_ST_2084_PQ, primaries ITU_R_2020, matrix ITU_R_2020";
    EXPECT_EQ(log.matching("video: stream colors"), (Lines{tags, tags}));
}

TEST_F(VideoDecoderPeerTest, ADecoderThatFellBehindSkipsToTheNextKeyframeWithoutAskingForOneAtEveryFrame) {
    const Clip stream = clip({ClipCodec::h264, 320, 240, 12, 6});
    // The whole pipeline, fed the clip as the box's datagrams, its decoder with room for two waiting units.
    auto session = std::make_shared<StreamSession>(nullptr, StreamConfig(320, 240, 60, 10000, StreamConfig::Codec::h264, 2, 1392), 1);
    double now = 10;
    VideoPipeline::Options options;
    options.now = [&now] { return now; };
    options.decoderQueueLimit = 2;
    options.allowHardware = false;
    const auto pipeline = VideoPipeline::make(StreamConfig::Codec::h264, session, options);
    // Frame 0's picture holds the decoder's thread: the next two wait, and the third finds no room.
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    pipeline->setOnDecoded([&](const DecodedFrame& frame) {
        if (frame.frameIndex == 0) {
            entered.set_value();
            released.wait();
        }
        std::lock_guard guard(lock);
        frames[frame.frameIndex] = frame;
    });
    boxsim::VideoPacketizer packetizer{1392, 20};
    const auto send = [&](std::uint32_t i, double at) {
        now = at;
        const Bytes& unit = stream.accessUnits[i];
        for (const auto& datagram : packetizer.packetize(unit, i, i * 1500, i % 6 == 0)) session->videoHandler(datagram);
    };
    send(0, 10);
    entered.get_future().wait();
    for (std::uint32_t i = 1; i <= 3; ++i) send(i, 10 + i * 0.016);  // 3 is refused: one request
    EXPECT_EQ(log.matching("video: the decoder fell behind; frames dropped until the next keyframe").size(), 1u);
    EXPECT_EQ(pipeline->stats().keyframeRequests, 1);
    // Dropped quietly meanwhile; asked again only once the answer is overdue, not at every frame.
    send(4, 10.3);
    EXPECT_EQ(pipeline->stats().keyframeRequests, 1);
    send(5, 10.6);
    EXPECT_EQ(pipeline->stats().keyframeRequests, 2);
    // The keyframe replaces what still waits, and decoding goes on from it.
    send(6, 10.62);
    release.set_value();
    for (std::uint32_t i = 7; i < 12; ++i) {
        pipeline->decoder().flush();  // one at a time: two waiting units are all the room there is
        send(i, 10.62 + (i - 6) * 0.016);
    }
    pipeline->decoder().flush();
    const auto stats = pipeline->stats();
    EXPECT_EQ(stats.decodeDrops, 5);  // 1 and 2 replaced, 3 refused, 4 and 5 waiting for the keyframe
    EXPECT_EQ(stats.decoded, 7);
    EXPECT_EQ(stats.keyframeRequests, 2);
    EXPECT_EQ(stats.decodeErrors + stats.framesLost, 0);
    std::lock_guard guard(lock);
    EXPECT_EQ(frames.size(), 7u);
    for (const std::uint32_t kept : {0u, 6u, 11u}) EXPECT_EQ(frames.count(kept), 1u) << kept;
    EXPECT_EQ(frames[6].queuedBehind, 0);
}

}  // namespace
}  // namespace corvane::stream
