// The whole road of the picture: the simulated box encodes its moving test picture, the session carries
// it over loopback, the video pipeline decodes it, and the stream view shows it on a virtual display.
#include "engine/view/StreamView.hpp"
#include <atomic>
#include <memory>
#include <QImage>
#include <QTest>
#include "boxsim/Box.hpp"
#include "engine/session/StreamSession.hpp"
#include "engine/video/VideoPipeline.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/GuiEnvironment.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

// Mean brightness of `a`, and how many sampled pixels differ clearly from `b`.
std::pair<double, int> compare(const QImage& a, const QImage& b) {
    double sum = 0;
    int count = 0, differing = 0;
    for (int y = 0; y < a.height(); y += 2)
        for (int x = 0; x < a.width(); x += 2, ++count) {
            sum += qGray(a.pixel(x, y));
            differing += std::abs(qGray(a.pixel(x, y)) - qGray(b.pixel(x, y))) > 24;
        }
    return {count ? sum / count : 0, differing};
}

class StreamEndToEndIntegrationTest : public ::testing::Test {
protected:
    void TearDown() override {
        // The decoder's thread puts into the view's slot: the session and the pipeline go first.
        if (session) session->stop(false);
        pipeline.reset();
        session.reset();
        view.reset();
        if (box) box->stop();
    }
    test::EngineLogCapture log;
    test::TempDir dir;
    std::string address = test::uniqueLoopbackAddress();
    std::shared_ptr<boxsim::Box> box;
    std::shared_ptr<BoxHost> host = test::boxHostFor(address, dir.path());
    std::shared_ptr<StreamSession> session;
    std::shared_ptr<VideoPipeline> pipeline;
    std::unique_ptr<StreamView> view;
};

TEST_F(StreamEndToEndIntegrationTest, TheBoxsMovingPictureIsShown) {
    test::GuiEnvironment::ensure();
    boxsim::Box::Options options;
    options.address = address;
    options.streamMedia = true;
    options.media.audio = false;
    box = std::make_shared<boxsim::Box>(options);
    box->start();
    test::pairWithBox(*host, box);
    // The window opens with the view before the session starts, as the stream window does it.
    view = std::make_unique<StreamView>(QRect(0, 0, 640, 360));
    std::atomic<int> firstPictures{0};
    view->onFirstPicture = [&] { ++firstPictures; };
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    view->markOpened();
    view->start();
    session = std::make_shared<StreamSession>(
        host, StreamConfig(640, 360, 30, 3000, StreamConfig::Codec::h264, 2, 1392), 881448767);
    VideoPipeline::Options pipelineOptions;
    pipelineOptions.allowHardware = false;
    pipeline = VideoPipeline::make(StreamConfig::Codec::h264, session, pipelineOptions);
    pipeline->setOnDecoded([slot = &view->slot()](const DecodedFrame& frame) { slot->put(frame); });
    session->start(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->shownTotal() >= 10; }, 30000)) << view->shownTotal();
    EXPECT_EQ(firstPictures, 1);
    EXPECT_TRUE(log.hasStart("video: first non-black frame shown "));
    // Two looks half a second apart: a picture each time, and not the same one.
    const QImage first = view->grabFramebuffer();
    const int shownBefore = view->shownTotal();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->shownTotal() >= shownBefore + 10; }, 30000));
    const QImage second = view->grabFramebuffer();
    EXPECT_GT(compare(first, second).first, 20);
    EXPECT_GT(compare(second, first).first, 20);
    EXPECT_GT(compare(first, second).second, 50);
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->shownFPS() > 0; }, 10000));
    EXPECT_GT(view->latencyMs().packetToShow, 0);
    const auto stats = pipeline->stats();
    EXPECT_EQ(stats.hardwareDecoder, std::optional<bool>(false));
    EXPECT_EQ(stats.decodeErrors + stats.framesLost, 0);
    EXPECT_EQ(log.count("video: decoder H.264 640x360, SOFTWARE"), 1u);
    EXPECT_FALSE(log.hasStart("WARNING: video: no video packets"));
    if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS")) {
        first.save(QString::fromUtf8(keep) + "/end-to-end-1.png");
        second.save(QString::fromUtf8(keep) + "/end-to-end-2.png");
    }
}

}  // namespace
}  // namespace corvane::stream
