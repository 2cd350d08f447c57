#include "platform/video/VideoDecoderBackend.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

#include "platform/video/VideoFormat.hpp"
#include "tests/engine/video/VideoClips.hpp"

namespace corvane::platform {
namespace {

using test::clips::Clip;
using test::clips::ClipOptions;
using test::clips::Codec;
using test::clips::tightBytes;

// The parameter sets at the head of a clip's first access unit, in stream order.
std::vector<Bytes> parameterSets(const Bytes& accessUnit, Codec codec) {
    std::vector<Bytes> sets;
    const auto positions = test::clips::nalPositions(accessUnit);
    for (std::size_t n = 0; n < positions.size(); ++n) {
        const std::size_t end = n + 1 < positions.size() ? positions[n + 1].startCode : accessUnit.size();
        Bytes nal(accessUnit.begin() + long(positions[n].payload), accessUnit.begin() + long(end));
        const int type = nal.empty() ? 0 : codec == Codec::h264 ? (nal[0] & 0x1F) : ((nal[0] >> 1) & 0x3F);
        if (codec == Codec::h264 ? (type == 7 || type == 8) : (type >= 32 && type <= 34)) sets.push_back(std::move(nal));
    }
    return sets;
}

VideoFormat formatOf(const Clip& clip) {
    auto result = VideoFormat::make(clip.recipe.codec == Codec::h264 ? VideoFormat::Codec::h264 : VideoFormat::Codec::hevc,
                                    parameterSets(clip.accessUnits.at(0), clip.recipe.codec), std::nullopt);
    EXPECT_EQ(result.status, 0);
    return *result.format;
}

// What each unit's handler received, in call order; every answer comes on the decoder's own thread.
struct Outcome {
    int status = 0;
    std::shared_ptr<PixelBuffer> image;
    std::size_t unit = 0;
};

struct Recorder {
    std::mutex lock;
    std::vector<Outcome> outcomes;
    VideoDecoderBackend::OutputHandler handler(std::size_t unit) {
        return [this, unit](int status, std::shared_ptr<PixelBuffer> image) {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            EXPECT_STREQ(name, "corvane.decode");
            std::lock_guard guard(lock);
            outcomes.push_back({status, std::move(image), unit});
        };
    }
};

// Decodes `units` (by default the clip's own) in a session made from the clip's parameter sets.
std::vector<Outcome> decodeAll(const Clip& clip, const std::vector<Bytes>* units = nullptr) {
    auto created = VideoDecoderBackend::create(formatOf(clip), {PixelBuffer::Format::bgra, false, 64});
    EXPECT_EQ(created.status, 0);
    Recorder recorder;
    if (!units) units = &clip.accessUnits;
    for (std::size_t i = 0; i < units->size(); ++i) EXPECT_EQ(created.session->decode((*units)[i], recorder.handler(i)), 0);
    created.session->waitForAsynchronousFrames();
    created.session->invalidate();
    return recorder.outcomes;
}

class VideoDecoderBackendPeerTest : public ::testing::Test {
protected:
    Clip makeClip(ClipOptions recipe) { return test::clips::makeClip(folder.path(), std::move(recipe)); }
    test::TempDir folder;
};

TEST_F(VideoDecoderBackendPeerTest, PicturesAreFilledAgainOnlyOnceEveryHolderLetGo) {
    const Clip clip = makeClip({Codec::h264, 320, 240, 20, 10});
    const auto expected = test::clips::expectedPictures(clip, false);
    ASSERT_EQ(expected.size(), 20u);
    auto created = VideoDecoderBackend::create(formatOf(clip), {PixelBuffer::Format::bgra, false, 64});
    ASSERT_EQ(created.status, 0);
    // The first picture is held throughout, as a frame on screen would be; every other one is let go
    // as soon as it has been looked at.
    std::shared_ptr<PixelBuffer> held;
    std::vector<const PixelBuffer*> seen;
    std::vector<bool> correct;
    for (std::size_t i = 0; i < clip.accessUnits.size(); ++i) {
        created.session->decode(clip.accessUnits[i], [&, i](int, std::shared_ptr<PixelBuffer> image) {
            ASSERT_TRUE(image);
            seen.push_back(image.get());
            correct.push_back(tightBytes(*image) == expected[i]);
            if (i == 0) held = std::move(image);
        });
    }
    created.session->waitForAsynchronousFrames();
    created.session->invalidate();
    ASSERT_EQ(seen.size(), 20u);
    EXPECT_EQ(correct, std::vector<bool>(20, true));
    EXPECT_TRUE(tightBytes(*held) == expected[0]);  // never written over while held
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_NE(seen[i], held.get());
    // The rest take turns in a few pictures rather than one allocation each.
    std::vector<const PixelBuffer*> distinct(seen.begin(), seen.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    EXPECT_LE(distinct.size(), 3u);
}

TEST_F(VideoDecoderBackendPeerTest, DamagedUnitsAreAnsweredWithoutAPictureAndAKeyframeRecovers) {
    const Clip clip = makeClip({Codec::h264, 320, 240, 12, 6});
    // A slice cut to a few bytes, pure noise, and a unit with no slice at all, then a keyframe and the rest.
    Bytes noise{0, 0, 0, 1, 0x65};
    for (int i = 0; i < 400; ++i) noise.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    std::vector<Bytes> units{Bytes(clip.accessUnits[1].begin(), clip.accessUnits[1].begin() + 12), noise, {0, 0, 0, 1, 0x09, 0xF0}};
    units.insert(units.end(), clip.accessUnits.begin() + 6, clip.accessUnits.end());
    const auto outcomes = decodeAll(clip, &units);
    ASSERT_EQ(outcomes.size(), 9u);
    for (const auto& outcome : outcomes) {
        EXPECT_EQ(outcome.image != nullptr, outcome.unit >= 3) << outcome.unit;
        EXPECT_TRUE(outcome.unit < 3 || outcome.status == 0) << outcome.unit;
    }
}

}  // namespace
}  // namespace corvane::platform
