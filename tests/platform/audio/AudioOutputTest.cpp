#include "platform/audio/AudioOutput.hpp"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <pthread.h>
#include "tests/support/TestSupport.hpp"

namespace corvane::platform {
namespace {

// Every channel gets its own constant level, so SDL's disk driver's file shows that frames stay whole and
// in order, for each layout; nothing is rendered after stop().
TEST(AudioOutputTest, PullsInterleavedFloatFramesUntilStopped) {
    for (const int channels : {2, 6, 8}) {
        test::TempDir dir;
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", (dir.path() / "out.raw").c_str(), 1);
        std::atomic<int> calls{0}, largest{0};
        AudioOutput output(channels, [&](float* out, int frames) {
            for (int i = 0; i < frames * channels; ++i) out[i] = 0.1f * static_cast<float>(i % channels + 1);
            largest = std::max(largest.load(), frames);
            ++calls;
        });
        output.start();
        EXPECT_TRUE(output.running());
        std::vector<float> samples;
        auto sound = [&] { return std::find_if(samples.begin(), samples.end(), [](float f) { return f != 0.0f; }); };
        for (int i = 0; i < 2000 && samples.end() - sound() < channels * 2048; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::ifstream in(dir.path() / "out.raw", std::ios::binary);
            samples.resize(static_cast<std::size_t>(std::filesystem::file_size(dir.path() / "out.raw")) / sizeof(float));
            in.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(float)));
        }
        output.stop();
        EXPECT_FALSE(output.running());
        const int afterStop = calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(calls, afterStop) << "rendered after stop";
        EXPECT_EQ(largest, 512);  // at most 512 frames a pull, so each is short
        // The device may play silence of its own before it is unpaused, in whole frames.
        const auto first = static_cast<std::size_t>(sound() - samples.begin());
        ASSERT_EQ(first % static_cast<std::size_t>(channels), 0u);
        ASSERT_GE(samples.size() - first, static_cast<std::size_t>(channels * 2048));
        for (std::size_t i = first; i < samples.size(); ++i)
            ASSERT_FLOAT_EQ(samples[i], 0.1f * static_cast<float>(i % channels + 1)) << channels << " ch, sample " << i;
    }
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    AudioOutput output(2, [](float*, int) {});
    EXPECT_THROW(output.start(), AudioOutput::Error);
    EXPECT_FALSE(output.running());
    EXPECT_THROW(AudioOutput(9, [](float*, int) {}), std::invalid_argument);
}

// The thread's own set-up runs on the thread that renders, before its first pull, once per start.
TEST(AudioOutputTest, ThreadStartRunsOnTheRenderThreadBeforeItsFirstPull) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    std::mutex lock;
    std::vector<std::string> seen;  // "start <thread>", then "render <thread>" for the first pull after it
    const auto note = [&](const std::string& what) {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        const std::string entry = what + " " + name + " " + std::to_string(pthread_self());
        std::lock_guard guard(lock);
        if (what == "start" || (!seen.empty() && seen.back().starts_with("start "))) seen.push_back(entry);
    };
    AudioOutput output(2, [&](float* out, int frames) {
        std::fill(out, out + frames * 2, 0.0f);
        note("render");
    });
    output.onThreadStart = [&] { note("start"); };
    const auto pulls = [&] {
        std::lock_guard guard(lock);
        return seen.size();
    };
    for (int round = 1; round <= 2; ++round) {
        output.start();
        for (int i = 0; i < 2000 && pulls() < 2u * round; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        output.stop();
    }
    std::lock_guard guard(lock);
    ASSERT_EQ(seen.size(), 4u);
    for (std::size_t i = 0; i < 4; i += 2) {
        EXPECT_TRUE(seen[i].starts_with("start corvane.audio ")) << seen[i];
        EXPECT_EQ(seen[i + 1], "render" + seen[i].substr(5));
    }
}

} // namespace
} // namespace corvane::platform
