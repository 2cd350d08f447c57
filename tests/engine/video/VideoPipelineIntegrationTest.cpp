// The video road from the simulated box to decoded pictures, over loopback.
#include "engine/video/VideoPipeline.hpp"
#include <gtest/gtest.h>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>
#include "boxsim/Box.hpp"
#include "boxsim/media/VideoPacketizer.hpp"
#include "boxsim/media/VideoSource.hpp"
#include "engine/session/SessionKeys.hpp"
#include "engine/session/StreamSession.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

// A box on `address` that streams video alone.
boxsim::Box::Options videoOnly(const std::string& address) {
    boxsim::Box::Options options;
    options.address = address;
    options.streamMedia = true;
    options.media.audio = false;
    return options;
}

// A started box with `options`, and a host paired with it whose identity lives in `dir`.
std::pair<std::shared_ptr<boxsim::Box>, std::shared_ptr<BoxHost>> pairedBox(const boxsim::Box::Options& options,
                                                                           const std::filesystem::path& dir) {
    auto box = std::make_shared<boxsim::Box>(options);
    box->start();
    auto host = test::boxHostFor(options.address, dir);
    test::pairWithBox(*host, box);
    return {box, host};
}

const StreamConfig config(640, 360, 60, 3000, StreamConfig::Codec::h264, 2, 1392);

std::shared_ptr<VideoPipeline> softwarePipeline(const std::shared_ptr<StreamSession>& session) {
    VideoPipeline::Options options;
    options.allowHardware = false;
    return VideoPipeline::make(StreamConfig::Codec::h264, session, options);
}

// A session started right after another one ended: datagrams of the earlier stream's frame 600 reach the new
// media port before the new stream's first frame. They must not decide where the new stream starts (else its
// frames would all be late for the next ten seconds).
TEST(VideoPipelineIntegrationTest, AStreamStartsBehindAnEarlierStreamsDatagrams) {
    test::EngineLogCapture log;
    test::TempDir dir;
    const std::string address = test::uniqueLoopbackAddress();
    boxsim::Box::Options options = videoOnly(address);
    Bytes slice{0, 0, 0, 1, 0x41};
    slice.resize(6000, 0x5A);
    options.media.earlierVideo = boxsim::VideoPacketizer(1392, 20).packetize(slice, 600, 600 * 1500, false);
    options.media.earlierVideo.resize(2);
    std::mutex sentLock;
    std::condition_variable sentChanged;
    std::optional<std::pair<std::uint32_t, bool>> firstSent;  // index, keyframe: as the box told of it
    options.onFrameSent = [&](const boxsim::MediaStreamer::SentFrame& frame) {
        std::lock_guard guard(sentLock);
        if (firstSent) return;
        firstSent.emplace(frame.index, frame.keyframe);
        sentChanged.notify_all();
    };
    const auto [box, host] = pairedBox(options, dir.path());

    auto session = std::make_shared<StreamSession>(host, config, 881448767);
    auto pipeline = softwarePipeline(session);
    std::atomic<std::uint32_t> firstIndex{0};  // the frame index of the first datagram that came in
    pipeline->tap = [&](ByteView datagram) {
        std::uint32_t none = 0;
        if (datagram.size() >= 24) firstIndex.compare_exchange_strong(none, datagram[20] | datagram[21] << 8);
    };
    std::promise<void> decoded;
    std::atomic<bool> first{true};
    pipeline->setOnDecoded([&](const DecodedFrame&) {
        if (first.exchange(false)) decoded.set_value();
    });
    session->start(false);
    EXPECT_TRUE(decoded.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready)
        << "no picture within 5 s";
    EXPECT_EQ(firstIndex, 600u);
    {
        // The box told of its own first picture (the keyframe the session decoded), not of the strays. It
        // tells once the datagrams have gone, so the picture may be decoded here before it has told.
        std::unique_lock guard(sentLock);
        EXPECT_TRUE(sentChanged.wait_for(guard, std::chrono::seconds(20), [&] { return firstSent.has_value(); }));
        EXPECT_EQ(firstSent, std::make_pair(0u, true));
    }
    session->stop(false);
    pipeline.reset();
    session.reset();
    box->stop();
}

// Sessions started one right after another, each as soon as the one before showed its own first picture;
// every other one ends the app on the box (a cancel), the rest leave it running. Ahead of each stream's first
// picture the box also sends the keyframe 13 of another stream, a picture of another size. That picture may
// show, as nothing tells it from a first picture that nothing follows, but the session's own keyframe 0
// follows it at its own size, and no datagram of the session before reaches its port.
TEST(VideoPipelineIntegrationTest, QuickRelaunchesShowEachSessionsOwnKeyframeAfterAnotherStreamsPicture) {
    test::EngineLogCapture log;
    test::TempDir dir;
    const std::string address = test::uniqueLoopbackAddress();
    boxsim::Box::Options options = videoOnly(address);
    boxsim::VideoSource::Format other;
    other.width = 320;
    other.height = 180;
    const Bytes earlierKeyframe = boxsim::VideoSource(other).next(true).accessUnit;
    ASSERT_FALSE(earlierKeyframe.empty());
    options.media.earlierVideo = boxsim::VideoPacketizer(1392, 20).packetize(earlierKeyframe, 13, 13 * 1500, true);
    const std::size_t strays = options.media.earlierVideo.size();
    const auto [box, host] = pairedBox(options, dir.path());

    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("session " + std::to_string(round + 1));
        auto session = std::make_shared<StreamSession>(host, config, 881448767);
        auto pipeline = softwarePipeline(session);
        std::mutex tappedLock;
        std::vector<std::uint32_t> tapped;  // the frame index of each datagram, in arrival order
        pipeline->tap = [&](ByteView datagram) {
            if (datagram.size() < 24) return;
            std::lock_guard guard(tappedLock);
            tapped.push_back(datagram[20] | datagram[21] << 8 | datagram[22] << 16 | std::uint32_t(datagram[23]) << 24);
        };
        using Picture = std::tuple<std::uint32_t, int, int>;  // its frame index and size
        std::vector<Picture> before;                            // pictures decoded before frame 0
        std::promise<Picture> ownPicture;
        bool own = false;  // the decoder's thread alone
        pipeline->setOnDecoded([&](const DecodedFrame& frame) {
            const Picture picture{frame.frameIndex, frame.image->width(), frame.image->height()};
            if (own) return;
            if (frame.frameIndex != 0) return before.push_back(picture);
            own = true;
            ownPicture.set_value(picture);
        });
        session->start(false);
        auto shown = ownPicture.get_future();
        ASSERT_EQ(shown.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "no picture";
        EXPECT_EQ(shown.get(), std::make_tuple(0u, 640, 360));
        EXPECT_LE(before.size(), 1u);
        for (const Picture& picture : before) EXPECT_EQ(picture, std::make_tuple(13u, 320, 180));
        {
            std::lock_guard guard(tappedLock);
            const auto own = std::find(tapped.begin(), tapped.end(), 0u);
            EXPECT_EQ(std::vector<std::uint32_t>(tapped.begin(), own), std::vector<std::uint32_t>(strays, 13u));
        }
        const bool cancel = round % 2 == 0;
        session->stop(cancel);
        // A cancel ends the stream on the box before it answers.
        if (cancel) {
            EXPECT_FALSE(box->media().streaming());
        }
        pipeline.reset();
        session.reset();
    }
    // The last session was left running on the box: the next launch ends its stream (a stream running after
    // it is a new one).
    const int streams = box->media().streamedSessions();
    host->start(881448767, config, SessionKeys::random(), false);
    EXPECT_TRUE(!box->media().streaming() || box->media().streamedSessions() > streams);
    box->stop();
}

// A box whose picture stands still sends a frame only when it changes, so nothing may follow a stream's first
// picture: it shows whatever its number, within a second of the session's start, in a stream numbered from 1
// and in one whose keyframe 0 is lost whole on the way and whose keyframe asked for (by the test at once, or
// by the pipeline itself) is the last frame sent. The session asks for no keyframe as it starts, so the box
// sends only what each row says until the picture changes.
TEST(VideoPipelineIntegrationTest, AStillPictureShowsItsFirstFrameWhateverItsNumber) {
    const struct {
        const char* name;
        std::uint32_t firstFrame;
        bool loseFirst;
        bool testAsks;
        std::vector<std::uint32_t> sent;
    } rows[] = {{"numbered from 1", 1, false, false, {1}},
                {"keyframe 0 lost, then the one asked for", 0, true, true, {0, 1}},
                {"keyframe 0 lost, then the one the pipeline asks for", 0, true, false, {0, 1}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::EngineLogCapture log;
        test::TempDir dir;
        boxsim::Box::Options options = videoOnly(test::uniqueLoopbackAddress());
        options.media.stillPicture = true;
        options.media.firstFrameIndex = row.firstFrame;
        options.media.loseFirstPicture = row.loseFirst;
        std::mutex sentLock;
        std::condition_variable sentChanged;
        std::vector<std::uint32_t> sent;
        options.onFrameSent = [&](const boxsim::MediaStreamer::SentFrame& frame) {
            std::lock_guard guard(sentLock);
            sent.push_back(frame.index);
            sentChanged.notify_all();
        };
        auto sentAtLeast = [&](std::size_t count) {
            std::unique_lock guard(sentLock);
            return sentChanged.wait_for(guard, std::chrono::seconds(20), [&] { return sent.size() >= count; });
        };
        const auto [box, host] = pairedBox(options, dir.path());
        auto session = std::make_shared<StreamSession>(host, config, 881448767);
        session->requestKeyframeAtStart = false;
        auto pipeline = softwarePipeline(session);
        std::promise<std::uint32_t> firstPicture;
        std::atomic<bool> first{true};
        pipeline->setOnDecoded([&](const DecodedFrame& frame) {
            if (first.exchange(false)) firstPicture.set_value(frame.frameIndex);
        });
        const auto start = std::chrono::steady_clock::now();
        session->start(false);
        if (row.testAsks) {
            ASSERT_TRUE(sentAtLeast(1));
            session->requestKeyframe();
        }
        auto shown = firstPicture.get_future();
        EXPECT_EQ(shown.wait_until(start + std::chrono::seconds(1)), std::future_status::ready) << "not within 1 s";
        ASSERT_EQ(shown.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "no picture";
        EXPECT_EQ(shown.get(), row.sent.back());
        EXPECT_TRUE(sentAtLeast(row.sent.size()));
        {
            std::lock_guard guard(sentLock);
            EXPECT_EQ(sent, row.sent);
        }
        box->media().changePicture();  // told, the box sends the next one
        EXPECT_TRUE(sentAtLeast(row.sent.size() + 1));
        session->stop(false);
        pipeline.reset();
        session.reset();
        box->stop();
    }
}

// A still picture on a lossy link: nothing follows a picture lost on the way, so the pipeline itself sees it
// stop arriving and asks for a keyframe, and again while the one asked for does not come. The seeded loss
// loses the first keyframe beyond repair (part of it arrives) and some of the changed pictures after it.
TEST(VideoPipelineIntegrationTest, AStillPictureLostOnTheWayShowsWithinASecond) {
    using Clock = std::chrono::steady_clock;
    test::EngineLogCapture log;
    test::TempDir dir;
    boxsim::Box::Options options = videoOnly(test::uniqueLoopbackAddress());
    options.media.stillPicture = true;
    options.media.firstFrameIndex = 1;
    options.media.videoLink.lossPercent = 20;
    options.media.videoLink.seed = 1;
    const auto [box, host] = pairedBox(options, dir.path());
    auto session = std::make_shared<StreamSession>(host, config, 881448767);
    session->requestKeyframeAtStart = false;  // the box sends only what the pipeline asks for
    auto pipeline = softwarePipeline(session);
    std::mutex shownLock;
    std::condition_variable shownChanged;
    std::vector<std::pair<std::uint32_t, Clock::time_point>> shown;  // frame index, when decoded
    pipeline->setOnDecoded([&](const DecodedFrame& frame) {
        std::lock_guard guard(shownLock);
        shown.emplace_back(frame.frameIndex, Clock::now());
        shownChanged.notify_all();
    });
    // Waits for the picture after the first `count`: its index, and whether it came within 1 s of `from`.
    auto shownAfter = [&](std::size_t count, Clock::time_point from) {
        std::unique_lock guard(shownLock);
        if (!shownChanged.wait_for(guard, std::chrono::seconds(10), [&] { return shown.size() > count; }))
            return std::pair(0u, false);
        return std::pair(shown[count].first, shown[count].second - from < std::chrono::seconds(1));
    };

    const auto start = Clock::now();
    session->start(false);
    pipeline->startWatchdog();
    const auto [firstShown, firstInTime] = shownAfter(0, start);
    EXPECT_TRUE(firstInTime);
    EXPECT_GT(firstShown, 1u) << "the first keyframe was not lost";
    for (std::size_t change = 1; change <= 10; ++change) {
        const auto changed = Clock::now();
        box->media().changePicture();
        ASSERT_TRUE(shownAfter(change, changed).second) << "change " << change;
    }
    // The first keyframe and one changed picture were lost on the way; no changed picture was lost whole
    // (nothing can tell of one until the picture changes again).
    EXPECT_EQ(pipeline->stats().framesLost, 2);
    session->stop(false);
    pipeline.reset();
    session.reset();
    box->stop();
}

}  // namespace
}  // namespace corvane::stream
