#include "platform/video/VideoDecoderBackend.hpp"
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "platform/video/VideoFormat.hpp"
#include "tests/engine/video/VideoClips.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::platform {
namespace {

using test::clips::Clip;
using test::clips::Codec;
using test::clips::tightBytes;
using Handler = std::function<void(std::size_t unit, int status, std::shared_ptr<const PixelBuffer> image,
                                   const VideoDecoderBackend::Timing& timing)>;

// A session made from the parameter sets at the head of the clip's first (H.264) access unit.
std::unique_ptr<VideoDecoderBackend> sessionFor(const Clip& clip, std::size_t queueLimit) {
    std::vector<Bytes> sets;
    const Bytes& first = clip.accessUnits.at(0);
    const auto positions = test::clips::nalPositions(first);
    for (std::size_t n = 0; n < positions.size(); ++n) {
        const std::size_t end = n + 1 < positions.size() ? positions[n + 1].startCode : first.size();
        Bytes nal(first.begin() + long(positions[n].payload), first.begin() + long(end));
        if (!nal.empty() && ((nal[0] & 0x1F) == 7 || (nal[0] & 0x1F) == 8)) sets.push_back(std::move(nal));
    }
    const auto format = VideoFormat::make(VideoFormat::Codec::h264, sets, std::nullopt);
    EXPECT_EQ(format.status, 0);
    auto created = VideoDecoderBackend::create(*format.format, {false, queueLimit});
    EXPECT_EQ(created.status, 0);
    return std::move(created.session);
}

// Queues unit `i` of `units`; every answer must come on the decoder's own thread.
VideoDecoderBackend::Queued queue(VideoDecoderBackend& session, const std::vector<Bytes>& units, std::size_t i,
                                  bool keyframe, const Handler& handler) {
    return session.decode(units[i], keyframe, [&handler, i](int status, std::shared_ptr<const PixelBuffer> image,
                                                            const VideoDecoderBackend::Timing& timing) {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        EXPECT_STREQ(name, "corvane.decode");
        handler(i, status, std::move(image), timing);
    });
}

void decodeAll(const Clip& clip, const std::vector<Bytes>& units, const Handler& handler) {
    auto session = sessionFor(clip, 64);
    ASSERT_TRUE(session);
    for (std::size_t i = 0; i < units.size(); ++i) EXPECT_EQ(queue(*session, units, i, false, handler).status, 0);
    session->waitForAsynchronousFrames();
    session->invalidate();
}

class VideoDecoderBackendPeerTest : public ::testing::Test {
protected:
    test::TempDir folder;
};

TEST_F(VideoDecoderBackendPeerTest, PicturesAreTheDecodersOwnPlanesHeldUntilTheirLastHolderLetsGo) {
    const Clip clip = test::clips::makeClip(folder.path(), {Codec::h264, 320, 240, 20, 10});
    const auto expected = test::clips::expectedPictures(clip);
    ASSERT_EQ(expected.size(), 20u);
    // The first picture is held throughout, as a frame on screen would be; every other one is let go
    // as soon as it has been looked at.
    std::shared_ptr<const PixelBuffer> held;
    std::vector<const PixelBuffer*> seen;
    std::vector<bool> correct;
    decodeAll(clip, clip.accessUnits, [&](std::size_t i, int, std::shared_ptr<const PixelBuffer> image,
                                          const VideoDecoderBackend::Timing& timing) {
        ASSERT_TRUE(image);
        // The luma as libavcodec wrote it and the chroma woven, with the stream's colours (x264 names no
        // matrix: BT.601, video range).
        EXPECT_EQ(image->format(), PixelBuffer::Format::nv12);
        EXPECT_EQ(image->colorSpace(), (PixelBuffer::ColorSpace{PixelBuffer::ColorSpace::Matrix::bt601, false}));
        EXPECT_GT(timing.queuedAt, 0);
        EXPECT_GE(timing.startedAt, timing.queuedAt);
        seen.push_back(image.get());
        correct.push_back(tightBytes(*image) == expected[i]);
        if (i == 0) held = std::move(image);
    });
    ASSERT_EQ(seen.size(), 20u);
    EXPECT_EQ(correct, std::vector<bool>(20, true));
    EXPECT_TRUE(tightBytes(*held) == expected[0]);  // never written over while held
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_NE(seen[i], held.get());
    // The rest take turns in a few pictures rather than one allocation each.
    std::sort(seen.begin(), seen.end());
    EXPECT_LE(std::unique(seen.begin(), seen.end()) - seen.begin(), 3);
}

TEST_F(VideoDecoderBackendPeerTest, ALayoutTheViewDoesNotDrawIsConvertedOnlyWhenRead) {
    const Clip clip = test::clips::makeClip(folder.path(), {Codec::h264, 320, 240, 6, 6, false, true});
    // ffmpeg's own decoding converted by the same library with the same flags: any difference is ours.
    const auto expected = test::clips::ffmpegFrames(clip.path, "bgra", 320 * 240 * 4, "-sws_flags bilinear");
    ASSERT_EQ(expected.size(), 6u);
    std::vector<std::shared_ptr<const PixelBuffer>> pictures;
    decodeAll(clip, clip.accessUnits, [&](std::size_t, int status, std::shared_ptr<const PixelBuffer> image,
                                          const VideoDecoderBackend::Timing&) {
        EXPECT_EQ(status, 0);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->format(), PixelBuffer::Format::bgra);
        EXPECT_FALSE(image->ready());  // nothing converted on the decoder's thread
        pictures.push_back(std::move(image));
    });
    ASSERT_EQ(pictures.size(), 6u);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_TRUE(tightBytes(*pictures[i]) == expected[i]) << "picture " << i;
        EXPECT_TRUE(pictures[i]->ready());
    }
}

TEST_F(VideoDecoderBackendPeerTest, DamagedUnitsAreAnsweredWithoutAPictureAndAKeyframeRecovers) {
    const Clip clip = test::clips::makeClip(folder.path(), {Codec::h264, 320, 240, 12, 6});
    // A slice cut to a few bytes, pure noise, and a unit with no slice at all, then a keyframe and the rest.
    Bytes noise{0, 0, 0, 1, 0x65};
    for (int i = 0; i < 400; ++i) noise.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    std::vector<Bytes> units{Bytes(clip.accessUnits[1].begin(), clip.accessUnits[1].begin() + 12), noise, {0, 0, 0, 1, 0x09, 0xF0}};
    units.insert(units.end(), clip.accessUnits.begin() + 6, clip.accessUnits.end());
    std::mutex lock;
    std::vector<std::size_t> answered;
    decodeAll(clip, units, [&](std::size_t unit, int status, std::shared_ptr<const PixelBuffer> image,
                               const VideoDecoderBackend::Timing&) {
        std::lock_guard guard(lock);
        answered.push_back(unit);
        EXPECT_EQ(image != nullptr, unit >= 3) << unit;
        EXPECT_EQ(unit >= 3 ? status : 0, 0) << unit;
    });
    EXPECT_EQ(answered.size(), 9u);
}

TEST_F(VideoDecoderBackendPeerTest, AFullQueueSkipsAheadToTheNewestKeyframeAndRefusesOnlyWithoutOne) {
    // Keyframes at units 0, 3, 6 and 9; room for three waiting units.
    const Clip clip = test::clips::makeClip(folder.path(), {Codec::h264, 320, 240, 12, 3});
    const auto expected = test::clips::expectedPictures(clip);
    auto session = sessionFor(clip, 3);
    ASSERT_TRUE(session);
    // Unit 0's answer holds the decoder's thread until everything is queued: the queue fills as it would
    // behind a decoder that fell behind.
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::mutex lock;
    std::vector<std::size_t> answered;
    std::vector<std::size_t> ahead(clip.accessUnits.size(), 99);
    const Handler handler = [&](std::size_t unit, int status, std::shared_ptr<const PixelBuffer> image,
                                const VideoDecoderBackend::Timing& timing) {
        if (unit == 0) {
            entered.set_value();
            released.wait();
        }
        std::lock_guard guard(lock);
        answered.push_back(unit);
        ahead[unit] = timing.waitingAhead;
        EXPECT_EQ(status, 0);
        ASSERT_TRUE(image) << "unit " << unit;
        EXPECT_TRUE(tightBytes(*image) == expected[unit]) << "unit " << unit;
    };
    const struct { std::size_t unit; int status; std::size_t dropped; } steps[] = {
        {1, 0, 0}, {2, 0, 0}, {3, 0, 0},             // 1, 2 and 3 wait: full
        {4, 0, 2},                                   // skips to keyframe 3: 1 and 2 go
        {5, 0, 0},                                   // 3, 4, 5
        {6, 0, 3},                                   // a keyframe replaces all three
        {7, 0, 0}, {8, 0, 0},                        // 6, 7, 8
        {9, 0, 3},                                   // keyframe again
        {10, 0, 0}, {11, 0, 0},                      // 9, 10, 11
    };
    // The thread holds unit 0 before the rest come, so the queue counts only the units behind it.
    ASSERT_EQ(queue(*session, clip.accessUnits, 0, true, handler).status, 0);
    entered.get_future().wait();
    for (const auto& step : steps) {
        const auto queued = queue(*session, clip.accessUnits, step.unit, step.unit % 3 == 0, handler);
        EXPECT_EQ(queued.status, step.status) << "unit " << step.unit;
        EXPECT_EQ(queued.dropped, step.dropped) << "unit " << step.unit;
    }
    // Full again with its only keyframe in front: nothing to skip to, so a unit that needs the one before it
    // is refused.
    const std::vector<Bytes> more{clip.accessUnits[11]};
    const Handler never = [](std::size_t, int, std::shared_ptr<const PixelBuffer>, const VideoDecoderBackend::Timing&) {
        ADD_FAILURE() << "a refused unit was answered";
    };
    EXPECT_EQ(queue(*session, more, 0, false, never).status, VideoDecoderBackend::busyStatus);
    release.set_value();
    session->waitForAsynchronousFrames();
    session->invalidate();
    std::lock_guard guard(lock);
    EXPECT_EQ(answered, (std::vector<std::size_t>{0, 9, 10, 11}));
    EXPECT_EQ(ahead[11], 2u);
}

using test::SchedAttr;

SchedAttr schedulingOf(long thread) {
    SchedAttr attr{};
    EXPECT_EQ(::syscall(SYS_sched_getattr, thread, &attr, sizeof attr, 0), 0) << "thread " << thread;
    return attr;
}

// The decoder's thread and libavcodec's slice threads, which it starts, take short turns and stay fair
// threads of the nice they had; the thread that made the session keeps its own.
TEST_F(VideoDecoderBackendPeerTest, TheDecodersThreadAndTheCodecsThreadsTakeShortTurns) {
    constexpr std::uint64_t decodeSlice = 300'000;  // nanoseconds: as short as the view's main thread's
    const Clip clip = test::clips::makeClip(folder.path(), {Codec::h264, 320, 240, 2, 2});
    const SchedAttr own = schedulingOf(0);
    auto session = sessionFor(clip, 4);
    ASSERT_TRUE(session);
    std::promise<SchedAttr> answered;
    const Handler handler = [&](std::size_t, int, std::shared_ptr<const PixelBuffer>, const auto&) {
        answered.set_value(schedulingOf(0));
    };
    queue(*session, clip.accessUnits, 0, true, handler);
    const SchedAttr decoder = answered.get_future().get();
    std::map<long, SchedAttr> threads;  // every "corvane.decode" thread, the codec's among them
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        const long id = std::stol(task.path().filename().string());
        if (name == "corvane.decode") threads[id] = schedulingOf(id);
    }
    cpu_set_t cpus;
    ASSERT_EQ(::sched_getaffinity(0, sizeof cpus, &cpus), 0);
    // One slice thread per processor at least, where there is more than one.
    EXPECT_GE(threads.size(), CPU_COUNT(&cpus) > 1 ? std::size_t(3) : std::size_t(1));
    EXPECT_EQ(schedulingOf(0).runtime, own.runtime);
    for (const auto& [id, attr] : threads) {
        EXPECT_EQ(attr.policy, std::uint32_t(SCHED_OTHER)) << "thread " << id;
        EXPECT_EQ(attr.nice, own.nice) << "thread " << id;
    }
    session->invalidate();
    if (!test::kernelKeepsThreadSlices())
        GTEST_SKIP() << "this kernel keeps no slice of a thread's own: only the threads' policy and nice were checked";
    EXPECT_EQ(decoder.runtime, decodeSlice);
    for (const auto& [id, attr] : threads) EXPECT_EQ(attr.runtime, decodeSlice) << "thread " << id;
}

}  // namespace
}  // namespace corvane::platform
