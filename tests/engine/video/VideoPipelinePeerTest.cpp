// The whole video road on real clips: packetised by the simulated box with parity, packets lost, frames
// assembled, repaired and decoded, every picture compared with ffmpeg's (see expectedPictures).

#include "engine/video/VideoPipeline.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "boxsim/media/VideoPacketizer.hpp"
#include "engine/video/AnnexB.hpp"
#include "tests/engine/video/LogLines.hpp"
#include "tests/engine/video/VideoClips.hpp"

namespace corvane::stream {
namespace {

using corvane::test::clips::Clip;
using corvane::test::clips::ClipOptions;
using ClipCodec = corvane::test::clips::Codec;
using corvane::test::clips::expectedPictures;
using corvane::test::clips::tightBytes;

// The block a datagram belongs to (byte 27, bits 4-5) and its block's data shard count (top 10 bits of the
// little-endian fecInfo at 28).
int blockOf(const Bytes& datagram) { return (datagram[27] >> 4) & 3; }
int dataShardsOf(const Bytes& datagram) { return (datagram[31] << 2) | (datagram[30] >> 6); }

// What leaves the "box" for one frame after the network: per block at most `extraLoss` more packets lost
// than its parity can repair (0: always repairable), the rest in shuffled order.
std::vector<Bytes> survivors(std::vector<Bytes> datagrams, std::mt19937& random, int extraLoss) {
    std::map<int, std::vector<Bytes>> blocks;
    for (auto& datagram : datagrams) blocks[blockOf(datagram)].push_back(std::move(datagram));
    std::vector<Bytes> out;
    for (auto& [block, shards] : blocks) {
        const int parity = static_cast<int>(shards.size()) - dataShardsOf(shards.front());
        std::shuffle(shards.begin(), shards.end(), random);
        const int lose = extraLoss > 0 ? parity + extraLoss
                                       : std::uniform_int_distribution<int>(0, parity)(random);
        shards.resize(shards.size() - static_cast<std::size_t>(std::min<int>(lose, static_cast<int>(shards.size()))));
        for (auto& shard : shards) out.push_back(std::move(shard));
    }
    return out;
}

class VideoPipelinePeerTest : public ::testing::Test {
protected:
    Clip makeClip(ClipOptions recipe) { return corvane::test::clips::makeClip(folder.path(), std::move(recipe)); }

    std::shared_ptr<VideoPipeline> makePipeline(StreamConfig::Codec codec, bool hdr,
                                                VideoPipeline::Options options = VideoPipeline::Options()) {
        StreamConfig config(320, 240, 30, 5000, codec, 2, 400);
        config.hdr = hdr;
        session = std::make_shared<StreamSession>(nullptr, config, 1);
        options.allowHardware = false;
        pipeline = VideoPipeline::make(codec, session, options);
        pipeline->setOnDecoded([this](const DecodedFrame& frame) {
            if (beforeEachPicture) beforeEachPicture();
            std::lock_guard guard(lock);
            pictures[frame.frameIndex] = frame.image;
        });
        return pipeline;
    }

    void send(const Bytes& accessUnit, std::uint32_t index, StreamConfig::Codec codec, int extraLoss = 0,
              bool paced = true) {
        const bool key = AnnexB::isKeyframe(accessUnit, codec);
        for (const auto& datagram : survivors(packetizer.packetize(accessUnit, index, index * 3000, key, 1.5), random, extraLoss)) {
            session->videoHandler(datagram);
            ++sent;
        }
        // At the stream's pace: a real stream gives the decoder a frame time per frame; a test that sends
        // faster than the decoder works would only see the bounded queue drop frames.
        if (paced) pipeline->decoder().flush();
    }

    // Compares the pictures of frames [from, to) with ffmpeg's pictures of the same positions.
    void expectPictures(const std::vector<Bytes>& expected, std::uint32_t from, std::uint32_t to) {
        std::lock_guard guard(lock);
        for (std::uint32_t i = from; i < to; ++i) {
            ASSERT_TRUE(pictures.count(i)) << "no picture for frame " << i;
            EXPECT_TRUE(tightBytes(*pictures[i]) == expected.at(i)) << "picture of frame " << i << " differs";
        }
    }

    corvane::test::TempDir folder;
    test::LogLines log;
    std::mt19937 random{20261206};
    boxsim::VideoPacketizer packetizer{boxsim::VideoPacketizer::Options{400, 20, 2, 0}};
    std::shared_ptr<StreamSession> session;
    std::shared_ptr<VideoPipeline> pipeline;
    std::function<void()> beforeEachPicture;  // on the decoder's thread
    std::int64_t sent = 0;
    std::mutex lock;
    std::map<std::uint32_t, std::shared_ptr<const platform::PixelBuffer>> pictures;
};

TEST_F(VideoPipelinePeerTest, LossesWithinTheParityBudgetChangeNoPicture) {
    struct Case { ClipOptions recipe; StreamConfig::Codec codec; bool hdr; };
    for (const Case& c : {Case{{ClipCodec::h264, 320, 240, 30, 10}, StreamConfig::Codec::h264, false},
                          Case{{ClipCodec::hevc, 320, 240, 20, 10, true}, StreamConfig::Codec::hevc, true}}) {
        pictures.clear();
        sent = 0;
        const Clip clip = makeClip(c.recipe);
        const auto pipeline = makePipeline(c.codec, c.hdr);
        for (std::size_t i = 0; i < clip.accessUnits.size(); ++i)
            send(clip.accessUnits[i], static_cast<std::uint32_t>(i), c.codec);
        // The last frame is delivered by its last needed packet; no later packet is needed.
        pipeline->decoder().flush();

        expectPictures(expectedPictures(clip, c.hdr), 0, static_cast<std::uint32_t>(clip.accessUnits.size()));
        const auto stats = pipeline->stats();
        const auto frames = static_cast<std::int64_t>(clip.accessUnits.size());
        EXPECT_TRUE(stats.packets == sent && stats.framesDelivered == frames && stats.decoded == frames);
        EXPECT_GT(stats.packetsRecovered, 0);
        EXPECT_EQ(stats.framesLost + stats.keyframeRequests + stats.decodeErrors + stats.decodeDrops + stats.badPackets, 0);
    }
}

TEST_F(VideoPipelinePeerTest, ALossBeyondTheBudgetAsksForAKeyframeAndRecoversCleanly) {
    // The "box" encodes one long group of pictures; asked for a keyframe it switches to a second encoding
    // of the same picture in which every frame is a keyframe, so the next frame it sends is one.
    const Clip stream = makeClip({ClipCodec::h264, 320, 240, 30, 300});
    const Clip intra = makeClip({ClipCodec::h264, 320, 240, 30, 1});
    const auto pipeline = makePipeline(StreamConfig::Codec::h264, false);

    std::uint32_t recoveredFrom = 0;
    for (std::uint32_t i = 0; i < 30; ++i) {
        const bool asked = pipeline->stats().keyframeRequests > 0;
        if (asked && recoveredFrom == 0) recoveredFrom = i;
        const Bytes& unit = asked ? intra.accessUnits[i] : stream.accessUnits[i];
        send(unit, i, StreamConfig::Codec::h264, i == 12 ? 1 : 0);  // frame 12 loses one packet too many
    }
    pipeline->decoder().flush();

    // Frame 12 is found lost when frame 13's first packet comes; 13 is then skipped while waiting.
    EXPECT_EQ(recoveredFrom, 14u);
    const auto stats = pipeline->stats();
    EXPECT_EQ((std::array{stats.framesLost, stats.keyframeRequests, stats.framesSkippedWaitingForKeyframe, stats.decoded,
                  stats.decodeErrors}), (std::array<std::int64_t, 5>{1, 1, 1, 12 + 16, 0}));
    EXPECT_EQ(log.matching("video: frame 12 lost; waiting for a keyframe").size(), 1u);

    expectPictures(expectedPictures(stream, false), 0, 12);
    expectPictures(expectedPictures(intra, false), 14, 30);
    std::lock_guard guard(lock);
    EXPECT_EQ(pictures.count(12) + pictures.count(13), 0u);
}

TEST_F(VideoPipelinePeerTest, ADecoderThatFellBehindKeepsAskingUntilAKeyframeComes) {
    const Clip stream = makeClip({ClipCodec::h264, 320, 240, 12, 300});
    const Clip intra = makeClip({ClipCodec::h264, 320, 240, 12, 1});
    auto now = std::make_shared<double>(0.0);
    VideoPipeline::Options options;
    options.now = [now] { return *now; };
    options.decoderQueueLimit = 1;
    // The first picture holds the decoder's thread, as a stalled consumer would, until released.
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool first = true;
    beforeEachPicture = [&, released] {
        if (!std::exchange(first, false)) return;
        entered.set_value();
        released.wait();
    };
    makePipeline(StreamConfig::Codec::h264, false, options);

    send(stream.accessUnits[0], 0, StreamConfig::Codec::h264, 0, false);
    entered.get_future().wait();
    // Frame 1 waits in the queue; 2 finds no room and asks for a keyframe; 3 is dropped too soon to ask
    // again; 4 is dropped and asks again.
    for (std::uint32_t i = 1; i <= 4; ++i) {
        *now = i == 1 ? 0.0 : i == 2 ? 1.0 : i == 3 ? 1.05 : 1.2;
        send(stream.accessUnits[i], i, StreamConfig::Codec::h264, 0, false);
    }
    EXPECT_EQ(pipeline->stats().keyframeRequests, 2);
    release.set_value();
    pipeline->decoder().flush();

    // The "box" answers with keyframes from frame 5 on; decoding goes on cleanly from there.
    for (std::uint32_t i = 5; i < 12; ++i) send(intra.accessUnits[i], i, StreamConfig::Codec::h264);
    const auto stats = pipeline->stats();
    EXPECT_EQ((std::array{stats.keyframeRequests, stats.decodeDrops, stats.decoded, stats.decodeErrors}),
              (std::array<std::int64_t, 4>{2, 3, 2 + 7, 0}));
    EXPECT_EQ(log.matching("video: the decoder fell behind; frames dropped until the next keyframe").size(), 1u);
    expectPictures(expectedPictures(stream, false), 0, 2);
    expectPictures(expectedPictures(intra, false), 5, 12);
}

}  // namespace
}  // namespace corvane::stream
