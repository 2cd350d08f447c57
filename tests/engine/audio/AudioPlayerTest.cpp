#include "engine/audio/AudioPipeline.hpp"
#include "engine/audio/AudioPlayer.hpp"
#include "engine/session/StreamSession.hpp"
#include <gtest/gtest.h>
#include <cstdio>
#include <thread>
#include "tests/support/AudioStreams.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/AllocationCounter.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

// What the calling thread allocates in f(): the audio path must allocate nothing.
template <typename F>
std::int64_t allocationsIn(F&& f) {
    test::allocations::counted = 0;
    test::allocations::counting = true;
    f();
    test::allocations::counting = false;
    return test::allocations::counted;
}

// Stereo frames numbered from `first`: frame k holds k (left) and -k (right).
std::vector<float> numbered(int count, int first = 1) {
    std::vector<float> samples;
    for (int k = first; k < first + count; ++k) samples.insert(samples.end(), {float(k), float(-k)});
    return samples;
}

// Renders n frames and gives back the left channel.
std::vector<float> renderLeft(AudioPlayer& player, int n) {
    std::vector<float> out(static_cast<std::size_t>(2 * n), 12345.0f);
    player.render(out.data(), n);
    std::vector<float> left;
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(out[2 * i + 1], -out[2 * i]) << "channels out of step at frame " << i;
        left.push_back(out[2 * i]);
    }
    return left;
}

TEST(AudioPlayerTest, PrimesToTheTargetThenPlaysAndPrimesAgainWhenDry) {
    AudioPlayer player{2, 20, 80};
    player.enqueue(numbered(959));
    EXPECT_EQ(renderLeft(player, 512), std::vector<float>(512, 0.0f));
    player.enqueue(numbered(1, 960));
    EXPECT_EQ(renderLeft(player, 512)[511], 512);
    // 448 left: played, then zeros and one underrun; priming again is silent and not counted.
    const auto left = renderLeft(player, 512);
    EXPECT_EQ(std::vector<float>(left.begin() + 447, left.begin() + 449), (std::vector<float>{960, 0}));
    player.enqueue(numbered(900, 2000));
    EXPECT_EQ(renderLeft(player, 100), std::vector<float>(100, 0.0f));
    player.enqueue(numbered(60, 2900));
    EXPECT_EQ(renderLeft(player, 1)[0], 2000);
    renderLeft(player, 959);  // exactly what was left: the next render finds it empty and primes, uncounted
    EXPECT_EQ(renderLeft(player, 1)[0], 0);
    EXPECT_EQ(player.stats().underruns, 1);
}

TEST(AudioPlayerTest, NudgesTheFillLevelAndCapsIt) {
    AudioPlayer high{2, 20, 80}; // above 40 ms: shortened by its last frame; at the cap trimmed to 20 ms
    high.enqueue(numbered(3600));
    high.enqueue(numbered(480, 10000));
    EXPECT_EQ(high.stats(), (AudioPlayer::Stats{0, 64, 20, 0, 1}));
    EXPECT_EQ(renderLeft(high, 960)[481], 10000);
    // Below 10 ms buffered while playing a packet gains a copy of its last frame; above 40 ms it loses it.
    const struct { int buffered; std::int64_t stretched, squeezed; } rows[] = {
        {240, 1, 0}, {479, 1, 0}, {480, 0, 0}, {1920, 0, 0}, {1921, 0, 1}};
    for (const auto& row : rows) {
        AudioPlayer player{2, 20, 80};
        player.enqueue(numbered(960));
        if (row.buffered < 960) renderLeft(player, 960 - row.buffered);
        else player.enqueue(numbered(row.buffered - 960, 2000));
        player.enqueue(numbered(240, 5000));
        const auto stats = player.stats();
        EXPECT_EQ(std::pair(stats.stretched, stats.squeezed), std::pair(row.stretched, row.squeezed)) << row.buffered;
        const auto left = renderLeft(player, static_cast<int>(row.buffered + 240 + row.stretched - row.squeezed));
        EXPECT_EQ(std::pair(left.end()[-2], left.back()),
                  std::pair(float(5238 + row.stretched - row.squeezed), float(5239 - row.squeezed))) << row.buffered;
    }
    AudioPlayer big{2, 20, 80}; // more than the ring: only the newest frames up to the cap
    big.enqueue(numbered(60000));
    EXPECT_EQ(renderLeft(big, 1)[0], 60000 - 3840 + 1);
}

TEST(AudioPlayerTest, MediaAndAudioThreadsShareTheRingWithoutAllocating) {
    AudioPlayer player{2, 20, 80};
    std::atomic<bool> done{false};
    std::atomic<int> rendered{0};
    std::thread audio([&] {
        std::vector<float> out(1024);
        float last = 0;
        EXPECT_EQ(allocationsIn([&] {
                      while (!done) {
                          player.render(out.data(), 512);
                          for (std::size_t i = 0; i < out.size(); i += 2) {
                              if (out[i + 1] != -out[i] || (out[i] != 0 && out[i] < last)) return;
                              last = out[i] != 0 ? out[i] : last;
                          }
                          ++rendered;
                      }
                  }),
                  0);
        EXPECT_TRUE(done) << "frames torn or out of order";
    });
    for (int i = 0, next = 1; i < 5000 || rendered < 10; ++i, next += 241) player.enqueue(numbered(240, next));
    done = true;
    audio.join();
}

class AudioPipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", (dir.path() / "out.raw").c_str(), 1);
    }
    test::TempDir dir;
    test::EngineLogCapture log;
};

TEST_F(AudioPipelineTest, DecodesIntoThePlayerWithNoAllocationPerDatagram) {
    using test::audio::audioDatagram;
    // Datagrams come through the session's handler, as its media socket hands them on.
    const StreamConfig config(640, 360, 30, 2000, StreamConfig::Codec::h264, 2, 1392);
    auto session = std::make_shared<StreamSession>(nullptr, config, 1);
    auto pipeline = AudioPipeline::make(session, 2);
    const auto stream = test::audio::OpusStream::make(2, 400);
    session->audioHandler(audioDatagram(0, 0, stream.packets[0])); // before start: reassembled, not played
    EXPECT_EQ(pipeline->stats(), (AudioPipeline::Stats{1, 1, 0, 0, 0, 0, 0, 0, 0}));
    pipeline->start();
    // The output thread's own line (see below) may come at any time.
    auto lines = log.all();
    std::erase_if(lines, [](const std::string& line) { return line.starts_with("[engine] audio: corvane.audio thread "); });
    EXPECT_EQ(lines, (std::vector<std::string>{"[engine] audio: 2 channels, 1 streams (1 coupled), mapping 01",
                                               "[engine] audio: playing 2 channels at 48 kHz (start after 20 ms, cap 80 ms)"}));
    // Every block loses its third packet and is rebuilt from parity.
    std::vector<Bytes> datagrams;
    for (std::size_t b = 4; b < 400; b += 4) {
        std::array<Bytes, 4> block{stream.packets[b], stream.packets[b + 1], stream.packets[b + 2], stream.packets[b + 3]};
        for (std::size_t j : {0, 1, 3}) datagrams.push_back(audioDatagram(std::uint16_t(b + j), 0, block[j]));
        datagrams.push_back(test::audio::fecDatagram(0, std::uint16_t(b), test::audio::isalParity(block)[0]));
    }
    for (std::size_t i = 0; i < 100; ++i) session->audioHandler(datagrams[i]);
    EXPECT_EQ(allocationsIn([&] {
                  for (std::size_t i = 100; i < datagrams.size(); ++i) session->audioHandler(datagrams[i]);
              }),
              0);
    const auto stats = pipeline->stats();
    EXPECT_EQ(std::pair(stats.recovered, stats.lost), std::pair(std::int64_t{99}, std::int64_t{3})); // 1...3 never sent
    EXPECT_GE(stats.frames, 400 - 1 - 3 - 6);
    EXPECT_GT(stats.bufferedMs, 0);
    pipeline->stop();
}

// The thread that feeds the sound device asks for sound's scheduling before its first pull and says what it
// got, truthfully, once per start.
TEST_F(AudioPipelineTest, TheOutputThreadSaysWhichSchedulingItGot) {
    auto pipeline = AudioPipeline::make(nullptr, 2);
    pipeline->start();
    const auto said = [&] { return log.matching("audio: corvane.audio thread "); };
    for (int i = 0; i < 2000 && said().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(said().size(), 1u);
    const std::string line = said()[0];
    int thread = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "audio: corvane.audio thread %d: ", &thread), 1) << line;
    platform::ThreadPriority::Grant actual;
    actual.scheduling = platform::ThreadPriority::System::kernel().current(thread);  // the device is still open
    const std::string has = actual.description().substr(0, actual.description().find(','));
    EXPECT_TRUE(line.substr(line.find(": ", line.find(" thread ")) + 2).starts_with(has + ",")) << line << " / " << has;
    pipeline->stop();
    EXPECT_EQ(said().size(), 1u);
}

TEST_F(AudioPipelineTest, SurroundWithoutALayoutFallsBackToStereoWithAWarning) {
    auto pipeline = AudioPipeline::make(nullptr, 6);
    pipeline->start();
    const auto lines = log.all();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector(lines.begin(), lines.begin() + 2),
              (std::vector<std::string>{"[engine] audio: WARNING: no surround-params for 6 channels in the DESCRIBE reply, falling back to stereo",
                                        "[engine] audio: 2 channels, 1 streams (1 coupled), mapping 01"}));
    pipeline->stop();
}

} // namespace
} // namespace corvane::stream
