#include "engine/audio/AudioPipeline.hpp"
#include <gtest/gtest.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>
#include "boxsim/Box.hpp"
#include "engine/session/StreamSession.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

using namespace std::chrono_literals;

// The loudest sample SDL's disk driver has written so far.
float loudest(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    float peak = 0;
    float sample = 0;
    while (in.read(reinterpret_cast<char*>(&sample), sizeof sample))
        if (std::isfinite(sample)) peak = std::max(peak, std::fabs(sample));
    return peak;
}

// A session against the simulated box, which encodes tones with Opus and sends them with parity; what
// SDL plays must be sound, in every channel layout the app asks for.
class AudioEndToEndTest : public ::testing::TestWithParam<int> {};

TEST_P(AudioEndToEndTest, TheBoxsSoundReachesTheAudioDevice) {
    test::TempDir dir;
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", (dir.path() / "played.raw").c_str(), 1);
    boxsim::Box::Options options;
    options.address = test::uniqueLoopbackAddress();
    options.streamMedia = true;
    auto box = std::make_shared<boxsim::Box>(options);
    box->start();
    auto host = test::boxHostFor(options.address, dir.path());
    test::pairWithBox(*host, box);
    const int channels = GetParam();
    auto session = std::make_shared<StreamSession>(
        host, StreamConfig(640, 360, 30, 2000, StreamConfig::Codec::h264, channels, 1392), 881448767);
    auto audio = AudioPipeline::make(session, channels);
    session->start(false);
    audio->start();
    for (int i = 0; i < 250 && (audio->stats().frames < 200 || loudest(dir.path() / "played.raw") < 0.05f); ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_GE(audio->stats().frames, 200);
    EXPECT_GT(loudest(dir.path() / "played.raw"), 0.05f);
    audio->stop();
    session->stop(true);
    box->stop();
}

INSTANTIATE_TEST_SUITE_P(Layouts, AudioEndToEndTest, ::testing::Values(2, 6, 8));

}  // namespace
}  // namespace corvane::stream
