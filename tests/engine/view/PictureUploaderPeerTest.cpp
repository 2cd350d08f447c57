// The thread that takes up pictures ahead, on a real (virtual) X display with software OpenGL, set up as the
// view's render thread sets it up: a context of its own connection, the renderer's textures in it.
#include "engine/view/PictureUploader.hpp"

#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QTest>
#include <QWindow>

#include "tests/engine/view/ViewPictures.hpp"
#include "tests/support/GuiEnvironment.hpp"

namespace corvane::stream {
namespace {

using platform::PixelBuffer;
using test::pictures::frameOf;

constexpr QSize size(64, 48);

std::shared_ptr<PixelBuffer> gray(std::uint8_t level) { return test::pictures::gray(size.width(), size.height(), level); }

class PictureUploaderDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        test::GuiEnvironment::ensure();
        gl = std::make_unique<Gl>();
        gl->window.setSurfaceType(QSurface::OpenGLSurface);
        gl->window.resize(size);
        gl->window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&gl->window, 10000));
        gl->context.setFormat(gl->window.requestedFormat());
        ASSERT_TRUE(gl->context.create());
        ASSERT_TRUE(gl->context.makeCurrent(&gl->window));
        gl->connection = RenderConnection::open(gl->context, gl->window.winId());
        ASSERT_TRUE(gl->connection);
        gl->renderer.initialize();
        ASSERT_TRUE(uploader.start(*gl->connection, gl->renderer, -1));
    }
    void TearDown() override {
        uploader.stop();
        if (gl->connection) gl->renderer.release();
        gl->connection.reset();
        gl->context.doneCurrent();
        gl.reset();
    }

    // The grey the renderer draws from `set`, as last taken up (0 when nothing was).
    int shows(int set) {
        gl->renderer.show(set);
        gl->renderer.draw(size);
        std::uint8_t pixel[4] = {};
        gl->context.functions()->glReadPixels(size.width() / 2, size.height() / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
        return pixel[0];
    }

    // Whether the thread holds on to `picture` (taking it up, or done with it): the test and the slot hold
    // the other two references.
    static bool held(const std::shared_ptr<PixelBuffer>& picture) { return picture.use_count() > 2; }

    // Made once the application is.
    struct Gl {
        QWindow window;
        QOpenGLContext context;
        std::unique_ptr<RenderConnection> connection;
        PictureRenderer renderer;
    };
    std::unique_ptr<Gl> gl;
    FrameSlot slot;
    PictureUploader uploader{slot};
};

// While the render thread draws, the thread takes up no picture of its own accord, only what the render
// thread asks for; a frame that came meanwhile is taken up ahead once it is let go.
TEST_F(PictureUploaderDisplay, HeldBackItTakesUpOnlyWhatItIsAskedForAndCatchesUpWhenLetGo) {
    uploader.holdBack(true);
    const auto first = gray(200);
    slot.put(frameOf(first, 1));
    uploader.wake();
    // The thread has seen the frame come, and took up nothing.
    uploader.settle();
    EXPECT_FALSE(held(first));

    const std::optional<int> set = uploader.take(first);
    ASSERT_EQ(set, 1);
    EXPECT_NEAR(shows(*set), 200, 2);

    const auto second = gray(90);
    slot.put(frameOf(second, 2));
    uploader.wake();
    uploader.settle();
    EXPECT_FALSE(held(second));
    uploader.holdBack(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return held(second); }, 10000));
    const std::optional<int> next = uploader.take(second);
    ASSERT_EQ(next, 0);
    EXPECT_NEAR(shows(*next), 90, 2);
    EXPECT_NEAR(shows(1), 200, 2);
}

// Every upload ends in a fence: the render thread's context waits on it when it takes the set and it is
// deleted then, or once the set is written over untaken, or when the thread ends. (The software rasteriser
// completes an upload at the call, so that the wait is needed cannot be shown here; that it happens can.)
TEST_F(PictureUploaderDisplay, EachUploadEndsInAFenceWaitedOnWhenTakenAndDeletedWhateverBecomesOfIt) {
    const auto ahead = [&](const std::shared_ptr<PixelBuffer>& picture, std::uint32_t index) {
        slot.put(frameOf(picture, index));
        uploader.wake();
        uploader.settle();
        return held(picture);
    };
    const auto first = gray(30);
    ASSERT_TRUE(ahead(first, 1));
    const std::optional<int> set = uploader.take(first);
    ASSERT_TRUE(set);
    EXPECT_NEAR(shows(*set), 30, 2);
    auto fences = uploader.fences();
    EXPECT_EQ(fences.made, 1u);
    EXPECT_EQ(fences.waited, 1u);
    EXPECT_EQ(fences.deleted, 1u);

    // Taken up ahead, then written over by the next before it was taken: its fence goes with it.
    ASSERT_TRUE(ahead(gray(60), 2));
    const auto third = gray(120);
    ASSERT_TRUE(ahead(third, 3));
    fences = uploader.fences();
    EXPECT_EQ(fences.made, 3u);
    EXPECT_EQ(fences.waited, 1u);
    EXPECT_EQ(fences.deleted, 2u);
    const std::optional<int> next = uploader.take(third);
    ASSERT_TRUE(next);
    EXPECT_NEAR(shows(*next), 120, 2);

    // One left untaken when the thread ends.
    ASSERT_TRUE(ahead(gray(200), 4));
    uploader.stop();
    fences = uploader.fences();
    EXPECT_EQ(fences.made, 4u);
    EXPECT_EQ(fences.waited, 2u);
    EXPECT_EQ(fences.deleted, 4u);
}

}  // namespace
}  // namespace corvane::stream
