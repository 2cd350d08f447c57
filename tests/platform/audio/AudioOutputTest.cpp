#include "platform/audio/AudioOutput.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <thread>

#include "tests/support/TestSupport.hpp"

namespace corvane::platform {
namespace {

std::vector<float> written(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / sizeof(float));
    if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

class AudioOutputTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    }
    test::TempDir dir;
    std::filesystem::path file = dir.path() / "out.raw";
};

// Every channel gets its own constant level, so the file shows that frames stay whole and in order.
TEST_P(AudioOutputTest, PullsInterleavedFloatFramesIntoTheDevice) {
    const int channels = GetParam();
    std::atomic<int> calls{0};
    std::atomic<int> largest{0};
    AudioOutput output(channels, [&](float* out, int frames) {
        for (int i = 0; i < frames; ++i)
            for (int c = 0; c < channels; ++c) out[i * channels + c] = 0.1f * static_cast<float>(c + 1);
        largest = std::max(largest.load(), frames);
        ++calls;
    });
    output.start();
    EXPECT_TRUE(output.running());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto rendered = [&] {
        const auto samples = written(file);
        return std::count_if(samples.begin(), samples.end(), [](float f) { return f != 0.0f; });
    };
    while (rendered() < channels * 2048 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    output.stop();
    EXPECT_FALSE(output.running());

    const int afterStop = calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(calls, afterStop) << "rendered after stop";
    EXPECT_LE(largest, AudioOutput::maxFramesPerRender);

    // The device may play silence of its own before it is unpaused, in whole buffers.
    const auto samples = written(file);
    const auto first = static_cast<std::size_t>(
        std::find_if(samples.begin(), samples.end(), [](float f) { return f != 0.0f; }) - samples.begin());
    ASSERT_EQ(first % static_cast<std::size_t>(channels), 0u);
    ASSERT_GE(samples.size() - first, static_cast<std::size_t>(channels * 2048));
    for (std::size_t i = first; i < samples.size(); ++i)
        ASSERT_FLOAT_EQ(samples[i], 0.1f * static_cast<float>(i % channels + 1)) << "sample " << i;
}

INSTANTIATE_TEST_SUITE_P(Layouts, AudioOutputTest, ::testing::Values(2, 6, 8),
                         [](const auto& info) { return std::to_string(info.param) + "ch"; });

TEST(AudioOutputErrorsTest, ReportsADeviceThatCannotOpen) {
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    AudioOutput output(2, [](float*, int) {});
    EXPECT_THROW(output.start(), AudioOutput::Error);
    EXPECT_FALSE(output.running());
    output.stop();
}

} // namespace
} // namespace corvane::platform
