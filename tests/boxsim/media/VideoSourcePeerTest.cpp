#include "boxsim/media/VideoSource.hpp"
#include <fstream>
#include <string>
#include <gtest/gtest.h>
#include "tests/support/TestSupport.hpp"

// libx265 keeps a few small buffers of every encoder it opened until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace corvane::boxsim {
namespace {

class VideoSourceFfprobe : public ::testing::TestWithParam<VideoCodec> {};

// The access units, written one after another as a raw stream, are what ffprobe calls a valid stream of
// the offered size, with every picture readable and keyframes where asked.
TEST_P(VideoSourceFfprobe, TheElementaryStreamIsValid) {
    const VideoCodec codec = GetParam();
    corvane::test::TempDir dir;
    const auto file = dir.path() / (codec == VideoCodec::h264 ? "stream.h264" : "stream.hevc");
    {
        VideoSource source(VideoSource::Format{640, 360, 60, 3000, codec});
        std::ofstream out(file, std::ios::binary);
        for (int i = 0; i < 30; ++i) {
            const auto frame = source.next(i == 20);
            out.write(reinterpret_cast<const char*>(frame.accessUnit.data()),
                      static_cast<std::streamsize>(frame.accessUnit.size()));
        }
    }
    const auto stream = corvane::test::runCommand(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=codec_name,width,height,nb_read_frames "
        "-of csv=p=0 '" + file.string() + "'");
    ASSERT_EQ(stream.status, 0);
    EXPECT_EQ(stream.output, std::string(codec == VideoCodec::h264 ? "h264" : "hevc") + ",640,360,30\n");
    // Frame numbers (from 1) of the keyframes; the csv output has side-data lines between frames.
    const auto keys = corvane::test::runCommand(
        "ffprobe -v error -select_streams v:0 -show_entries frame=key_frame -of csv=p=0 '" + file.string() +
        "' | grep -E '^[01]' | grep -n '^1' | cut -d: -f1 | tr '\\n' ' '");
    EXPECT_EQ(keys.output, "1 21 ");
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoSourceFfprobe, ::testing::Values(VideoCodec::h264, VideoCodec::hevc),
                         [](const auto& info) { return std::string(toString(info.param)); });

} // namespace
} // namespace corvane::boxsim
