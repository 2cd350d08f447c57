#include "boxsim/media/VideoSource.hpp"

#include <gtest/gtest.h>

#include "platform/core/Error.hpp"

// libx265 keeps a few small buffers of every encoder it opened until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace corvane::boxsim {
namespace {

// What the encoder makes is checked with ffprobe (VideoSourcePeerTest) and decoded end to end by the media
// port tests; here only what it refuses.
TEST(VideoSource, RefusesWhatItCannotEncode) {
    EXPECT_THROW(VideoSource(VideoSource::Format{320, 240, 30, 2000, VideoCodec::av1}), Error);
    EXPECT_THROW(VideoSource(VideoSource::Format{8, 8, 30, 2000, VideoCodec::h264}), Error);
    // An odd size is made even rather than refused.
    VideoSource odd(VideoSource::Format{321, 241, 30, 2000, VideoCodec::h264});
    EXPECT_EQ(odd.format().width, 320);
    EXPECT_EQ(odd.format().height, 240);
    EXPECT_FALSE(odd.next(false).accessUnit.empty());
}

} // namespace
} // namespace corvane::boxsim
