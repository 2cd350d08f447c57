#include "engine/audio/AudioPipeline.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "AudioTestStreams.hpp"
#include "engine/EngineLog.hpp"
#include "engine/session/StreamSession.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

using test::audio::audioDatagram;
using test::audio::fecDatagram;

// Floats the disk audio driver has written so far.
std::vector<float> written(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / sizeof(float));
    if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

bool audible(const std::vector<float>& samples) {
    return std::any_of(samples.begin(), samples.end(), [](float f) { return std::fabs(f) > 0.05f; });
}

class AudioPipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", (dir.path() / "out.raw").c_str(), 1);
        EngineLog::setSink([this](const std::string& line) {
            std::lock_guard guard(logLock);
            log.push_back(line);
        });
    }
    void TearDown() override { EngineLog::setSink({}); }

    bool logged(const std::string& line) {
        std::lock_guard guard(logLock);
        return std::find(log.begin(), log.end(), "[engine] " + line) != log.end();
    }

    test::TempDir dir;
    std::mutex logLock;
    std::vector<std::string> log;
};

TEST_F(AudioPipelineTest, PlaysTheSessionsSoundThroughTheOutput) {
    auto pipeline = AudioPipeline::make(nullptr, 2);
    const auto stream = test::audio::OpusStream::make(2, 400);

    // Before start: counted and reassembled, but nothing decoded or played.
    pipeline->receive(audioDatagram(0, 0, stream.packets[0]));
    EXPECT_EQ(pipeline->stats(), (AudioPipeline::Stats{1, 1, 0, 0, 0, 0, 0, 0, 0}));

    pipeline->start();
    EXPECT_TRUE(logged("audio: 2 channels, 1 streams (1 coupled), mapping 01"));
    EXPECT_TRUE(logged("audio: playing 2 channels at 48 kHz (start after 20 ms, cap 80 ms)"));

    // Feed about as fast as it plays, with every fifth packet lost and rebuilt from parity, until the
    // sound has reached the file.
    const auto file = dir.path() / "out.raw";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::size_t next = 1;
    while (!audible(written(file)) && std::chrono::steady_clock::now() < deadline &&
           next + 4 <= stream.packets.size()) {
        if (pipeline->stats().bufferedMs < 40) {
            const auto base = static_cast<std::uint16_t>(next); // blocks start at 4, 8, ...
            if (next % 4 == 0) {
                std::array<Bytes, 4> block;
                for (int j = 0; j < 4; ++j) block[j] = stream.packets[next + j];
                const auto parity = test::audio::isalParity(block);
                for (int j = 1; j < 4; ++j) pipeline->receive(audioDatagram(base + j, 0, block[j]));
                pipeline->receive(fecDatagram(0, base, parity[0]));
                next += 4;
            } else {
                pipeline->receive(audioDatagram(base, 0, stream.packets[next]));
                ++next;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pipeline->stop();
    EXPECT_TRUE(audible(written(file)));
    const auto stats = pipeline->stats();
    EXPECT_GT(stats.recovered, 0);
    EXPECT_EQ(stats.lost, 0);
    EXPECT_GE(stats.frames, static_cast<std::int64_t>(next) - 1 - AudioReassembler::defaultReorderWindow);
}

TEST_F(AudioPipelineTest, SurroundWithoutALayoutFallsBackToStereoWithAWarning) {
    auto pipeline = AudioPipeline::make(nullptr, 6);
    pipeline->start();
    EXPECT_TRUE(
        logged("audio: WARNING: no surround-params for 6 channels in the DESCRIBE reply, falling back to stereo"));
    EXPECT_TRUE(logged("audio: 2 channels, 1 streams (1 coupled), mapping 01"));
    pipeline->stop();
}

TEST_F(AudioPipelineTest, SessionHandlerHoldsThePipelineWeakly) {
    auto session = std::make_shared<StreamSession>(
        test::boxHostFor(test::uniqueLoopbackAddress(), dir.path()),
        StreamConfig(1280, 720, 60, 10000, StreamConfig::Codec::h264, 2, 1392), 1);
    auto pipeline = AudioPipeline::make(session, 2);
    ASSERT_TRUE(session->audioHandler);
    session->audioHandler(audioDatagram(7, 0, {1, 2, 3}));
    session->audioHandler(Bytes{1, 2, 3});
    EXPECT_EQ(pipeline->stats().packets, 2);
    EXPECT_EQ(pipeline->stats().frames, 1);

    std::weak_ptr<AudioPipeline> weak = pipeline;
    pipeline.reset();
    EXPECT_TRUE(weak.expired());
    session->audioHandler(audioDatagram(8, 0, {1, 2, 3})); // dropped, no crash
}

} // namespace
} // namespace corvane::stream
