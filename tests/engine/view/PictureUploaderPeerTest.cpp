// The thread that takes up pictures ahead, on a real (virtual) X display with software OpenGL, set up as the
// view's render thread sets it up: a context of its own connection, the renderer's textures in it.
#include "engine/view/PictureUploader.hpp"

#include <chrono>
#include <thread>

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
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(held(first));

    const std::optional<int> set = uploader.take(first);
    ASSERT_EQ(set, 1);
    EXPECT_NEAR(shows(*set), 200, 2);

    const auto second = gray(90);
    slot.put(frameOf(second, 2));
    uploader.wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(held(second));
    uploader.holdBack(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return held(second); }, 10000));
    const std::optional<int> next = uploader.take(second);
    ASSERT_EQ(next, 0);
    EXPECT_NEAR(shows(*next), 90, 2);
    EXPECT_NEAR(shows(1), 200, 2);
}

}  // namespace
}  // namespace corvane::stream
