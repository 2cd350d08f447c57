#include "platform/video/VideoDecoderBackend.hpp"
#include <gtest/gtest.h>
#include <pthread.h>
#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include "platform/video/VideoFormat.hpp"
#include "tests/engine/video/VideoClips.hpp"

namespace corvane::platform {
namespace {

using test::clips::Clip;
using test::clips::Codec;
using test::clips::tightBytes;

// Decodes `units` in a session made from the parameter sets at the head of the clip's first (H.264) access
// unit; every answer must come on the decoder's own thread.
void decode(const Clip& clip, const std::vector<Bytes>& units,
            const std::function<void(std::size_t, int, std::shared_ptr<PixelBuffer>)>& handler) {
    std::vector<Bytes> sets;
    const Bytes& first = clip.accessUnits.at(0);
    const auto positions = test::clips::nalPositions(first);
    for (std::size_t n = 0; n < positions.size(); ++n) {
        const std::size_t end = n + 1 < positions.size() ? positions[n + 1].startCode : first.size();
        Bytes nal(first.begin() + long(positions[n].payload), first.begin() + long(end));
        if (!nal.empty() && ((nal[0] & 0x1F) == 7 || (nal[0] & 0x1F) == 8)) sets.push_back(std::move(nal));
    }
    const auto format = VideoFormat::make(VideoFormat::Codec::h264, sets, std::nullopt);
    ASSERT_EQ(format.status, 0);
    auto created = VideoDecoderBackend::create(*format.format, {PixelBuffer::Format::bgra, false, 64});
    ASSERT_EQ(created.status, 0);
    for (std::size_t i = 0; i < units.size(); ++i)
        EXPECT_EQ(created.session->decode(units[i], [&handler, i](int status, std::shared_ptr<PixelBuffer> image) {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            EXPECT_STREQ(name, "corvane.decode");
            handler(i, status, std::move(image));
        }), 0);
    created.session->waitForAsynchronousFrames();
    created.session->invalidate();
}

class VideoDecoderBackendPeerTest : public ::testing::Test {
protected:
    test::TempDir folder;
};

TEST_F(VideoDecoderBackendPeerTest, PicturesAreFilledAgainOnlyOnceEveryHolderLetGo) {
    const Clip clip = test::clips::makeClip(folder.path(), {Codec::h264, 320, 240, 20, 10});
    const auto expected = test::clips::expectedPictures(clip, false);
    ASSERT_EQ(expected.size(), 20u);
    // The first picture is held throughout, as a frame on screen would be; every other one is let go
    // as soon as it has been looked at.
    std::shared_ptr<PixelBuffer> held;
    std::vector<const PixelBuffer*> seen;
    std::vector<bool> correct;
    decode(clip, clip.accessUnits, [&](std::size_t i, int, std::shared_ptr<PixelBuffer> image) {
        ASSERT_TRUE(image);
        seen.push_back(image.get());
        correct.push_back(tightBytes(*image) == expected[i]);
        if (i == 0) held = std::move(image);
    });
    ASSERT_EQ(seen.size(), 20u);
    EXPECT_EQ(correct, std::vector<bool>(20, true));
    EXPECT_TRUE(tightBytes(*held) == expected[0]);  // never written over while held
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_NE(seen[i], held.get());
    // The rest take turns in a few pictures rather than one allocation each.
    std::sort(seen.begin(), seen.end());
    EXPECT_LE(std::unique(seen.begin(), seen.end()) - seen.begin(), 3);
}

TEST_F(VideoDecoderBackendPeerTest, DamagedUnitsAreAnsweredWithoutAPictureAndAKeyframeRecovers) {
    const Clip clip = test::clips::makeClip(folder.path(), {Codec::h264, 320, 240, 12, 6});
    // A slice cut to a few bytes, pure noise, and a unit with no slice at all, then a keyframe and the rest.
    Bytes noise{0, 0, 0, 1, 0x65};
    for (int i = 0; i < 400; ++i) noise.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    std::vector<Bytes> units{Bytes(clip.accessUnits[1].begin(), clip.accessUnits[1].begin() + 12), noise, {0, 0, 0, 1, 0x09, 0xF0}};
    units.insert(units.end(), clip.accessUnits.begin() + 6, clip.accessUnits.end());
    std::mutex lock;
    std::vector<std::size_t> answered;
    decode(clip, units, [&](std::size_t unit, int status, std::shared_ptr<PixelBuffer> image) {
        std::lock_guard guard(lock);
        answered.push_back(unit);
        EXPECT_EQ(image != nullptr, unit >= 3) << unit;
        EXPECT_TRUE(unit < 3 || status == 0) << unit;
    });
    EXPECT_EQ(answered.size(), 9u);
}

}  // namespace
}  // namespace corvane::platform
