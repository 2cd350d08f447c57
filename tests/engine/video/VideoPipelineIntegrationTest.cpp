#include "engine/video/VideoPipeline.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "boxsim/Box.hpp"
#include "tests/engine/video/LogLines.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

using namespace std::chrono_literals;

class VideoPipelineIntegrationTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (session) session->stop(false);
        pipeline.reset();
        session.reset();
        if (box) box->stop();
    }

    void bringUp(StreamConfig::Codec codec) {
        boxsim::Box::Options options;
        options.address = address;
        options.streamMedia = true;
        options.media.audio = false;
        box = std::make_shared<boxsim::Box>(options);
        box->start();
        corvane::test::pairWithBox(*host, box);

        session = std::make_shared<StreamSession>(host, StreamConfig(640, 360, 30, 3000, codec, 2, 1392), 881448767);
        VideoPipeline::Options pipelineOptions;
        pipelineOptions.allowHardware = false;
        pipeline = VideoPipeline::make(codec, session, pipelineOptions);
        pipeline->setOnDecoded([this](const DecodedFrame& frame) {
            if (frame.image && frame.image->width() == 640 && frame.image->height() == 360) ++pictures;
        });
        session->start(false);
        pipeline->startWatchdog();
    }

    template <typename Condition> static bool waitFor(Condition condition) {
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (!condition() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
        return condition();
    }

    test::LogLines log;
    corvane::test::TempDir dir;
    std::string address = corvane::test::uniqueLoopbackAddress();
    std::shared_ptr<boxsim::Box> box;
    std::shared_ptr<BoxHost> host = corvane::test::boxHostFor(address, dir.path());
    std::shared_ptr<StreamSession> session;
    std::shared_ptr<VideoPipeline> pipeline;
    std::atomic<std::int64_t> pictures{0};
};

TEST_F(VideoPipelineIntegrationTest, DecodesTheBoxsStreamFromItsFirstKeyframe) {
    bringUp(StreamConfig::Codec::h264);
    ASSERT_TRUE(waitFor([&] { return pictures >= 20; })) << "pictures: " << pictures;
    const auto stats = pipeline->stats();
    EXPECT_EQ(stats.hardwareDecoder, std::optional<bool>(false));
    EXPECT_EQ(stats.decodeErrors + stats.framesLost, 0);
    EXPECT_EQ(log.matching("video: decoder H.264 640x360").size(), 1u);
    EXPECT_TRUE(log.matching("WARNING: video: no video packets").empty());
}

}  // namespace
}  // namespace corvane::stream
