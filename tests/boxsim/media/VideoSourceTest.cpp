#include "boxsim/media/VideoSource.hpp"
#include <gtest/gtest.h>
#include <utility>
#include <vector>

namespace corvane::boxsim {
namespace {

using Picture = VideoSource::Picture;

double meanBytes(VideoSource::Format format, int pictures) {
    VideoSource source(format);
    double bytes = 0;
    source.next(false);  // the keyframe
    for (int i = 1; i < pictures; ++i) bytes += static_cast<double>(source.next(false).accessUnit.size());
    return bytes / (pictures - 1);
}

// What the benchmarks stream: the busy desktop fills a budget the colour bars leave nearly empty.
TEST(VideoSourceTest, TheDesktopCostsWhatTheBitrateAllows) {
    const double bars = meanBytes({640, 360, 60, 10000, VideoCodec::h264}, 12);  // the bars stay the default
    const double desktop = meanBytes({640, 360, 60, 10000, VideoCodec::h264, Picture::desktop}, 12);
    EXPECT_GT(desktop, 5 * bars) << bars << " " << desktop;
    EXPECT_GT(desktop, 0.4 * 10000 * 1000 / 8 / 60) << desktop;  // much of a picture's share of the bitrate
}

// Zero latency: every picture leaves in the call that made it, at a size encoded on one thread and on many.
TEST(VideoSourceTest, EveryPictureLeavesAtOnce) {
    for (const auto codec : {VideoCodec::h264, VideoCodec::hevc})
        for (const auto& [width, height] : {std::pair{64, 64}, {1920, 1080}}) {
            VideoSource source({width, height, 60, 5000, codec});
            for (const bool key : {true, false, false}) {
                const auto frame = source.next(false);
                EXPECT_EQ(std::pair(frame.accessUnit.empty(), frame.keyframe), std::pair(false, key)) << width << " " << toString(codec);
            }
        }
}

TEST(VideoSourceTest, ALoopSendsItsPicturesRoundAndRoundAndAKeyframeRestartsIt) {
    VideoSource source({64, 64, 60, 1000, VideoCodec::h264, Picture::bars, 3});
    std::vector<Bytes> first;
    const struct { bool askKey; std::uint32_t picture; bool key; } calls[] = {
        {false, 0, true}, {false, 1, false}, {false, 2, false}, {false, 0, true},
        {false, 1, false}, {true, 0, true}, {false, 1, false}, {false, 2, false}};
    for (const auto& call : calls) {
        const auto frame = source.next(call.askKey);
        EXPECT_EQ(std::pair(frame.picture, frame.keyframe), std::pair(call.picture, call.key));
        if (first.size() < 3) first.push_back(frame.accessUnit);
        EXPECT_EQ(frame.accessUnit, first[call.picture]);
    }
}

} // namespace
} // namespace corvane::boxsim
