#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <QImage>
#include <QPointer>
#include <QPointF>
#include <QRectF>
#include <QSurfaceFormat>
#include <QTimer>
#include <QWidget>

#include "engine/input/InputPacket.hpp"
#include "engine/video/DecodedFrame.hpp"
#include "engine/view/FrameSlot.hpp"
#include "engine/view/InputHooks.hpp"
#include "engine/view/InputState.hpp"
#include "engine/view/PictureRenderer.hpp"
#include "engine/view/PictureUploader.hpp"
#include "engine/view/RenderConnectionPool.hpp"
#include "platform/keys/KeyEvents.hpp"
#include "platform/pointer/PointerCapture.hpp"
#include "platform/video/PixelBuffer.hpp"

class QOpenGLContext;
class QSocketNotifier;
class QWindow;

namespace corvane::stream {

class StreamSurface;

// The engine's view of the stream: shows the newest decoded picture, at most once per screen refresh, and
// turns the user's keyboard, mouse and wheel into input packets.
//
// Display side: the picture is drawn into a GL surface of the view's own (StreamSurface, a native child
// window filling the view), so nothing stands between the draw and the screen. The view itself is a native
// window too; panels laid over the picture must be native windows of their own stacked above it (the
// surface always lies beneath the view's native children), or looks the view draws over the picture itself
// (fadeAway, setOverlay).
// All GL work (the context, uploads, drawing, swaps, the looks laid over the picture, read-backs) runs on the
// view's own render thread ("corvane.view"): a swap blocks until the rasteriser has drawn and, with a software
// rasteriser, copies the whole picture to the X server, which the main thread must not wait for. While
// the view runs (start()), that thread waits on the slot itself: the decoder's put wakes it, and it takes
// the frame (at most one a refresh: no sooner than most of a refresh interval after the last; with frame
// pacing one queued frame every refresh), uploads its planes, converts and draws them in a shader and
// swaps. Then it hands the frame to the main thread (through an eventfd, one wake-up per batch), where the
// bookkeeping runs: statistics, the first frame and the first non-black frame after markOpened() logged,
// the latter also reported through onFirstPicture, onPresented, presented(). A slow timer keeps the rate
// figure falling to 0 while nothing comes. tick() and grabFramebuffer() step the render thread from the
// main thread and wait for it. The GL library's first look at a window is not safe beside the main thread's
// X traffic on the same connection: the context is made, and first drawn into a new surface, in such a
// waited-for step (when the surface first shows), never in the render thread's own loop; should that step
// fail to make the context current, the render thread asks the main thread for it again at the next frame.
// On X11 the render thread then draws and swaps through an X connection of its own (RenderConnection), so
// outside those steps it never uses Qt's; the connection is kept for the next view once this one lets go of
// its surface (RenderConnectionPool). There the planes are uploaded by a thread of their own instead
// (PictureUploader, "corvane.upload"), into a second set of textures, as soon as a frame is put, while the
// render thread swaps the frame before; the render thread draws a set only behind its upload's fence.
//
// Input side: key and mouse events of the widget become packets handed to `inputHooks.send`; pointer
// capture grabs the pointer and keyboard on X11 and sends raw relative motion.
//
// Everything runs on the main thread except put() on the slot and the statistics getters, which any
// thread may call. Whoever puts frames from another thread stops doing so before the view is destroyed;
// the render thread ends with the view.
class StreamView final : public QWidget {
    Q_OBJECT

public:
    using MouseMode = stream::MouseMode;

    struct Latency {
        double decodeToShow = 0;
        double packetToShow = 0;
    };

    // One picture the view drew: its way from the first packet to the screen, seconds of uptime.
    struct Presented {
        std::uint32_t frameIndex = 0;
        double firstPacketAt = 0;
        double assembledAt = 0;
        double queuedAt = 0;
        double decodeStartedAt = 0;
        double decodedAt = 0;
        double tickAt = 0;      // it was taken from the slot for drawing
        double uploadedAt = 0;  // its planes were in the textures
        double swappedAt = 0;   // the swap that put it on screen returned
        int queuedBehind = 0;
    };
    static constexpr std::size_t presentedKept = 1024;

    explicit StreamView(QWidget* parent = nullptr);
    // The view sized to `frame` (the stream window makes it with the stream's width and height).
    explicit StreamView(const QRect& frame, QWidget* parent = nullptr);
    ~StreamView() override;

    FrameSlot& slot() { return slot_; }

    // Called once at the first non-black frame after markOpened(); the owner fades out its start cover.
    std::function<void()> onFirstPicture;
    // Called on the main thread with every picture the view presents, once each, outside the view's lock.
    std::function<void(const DecodedFrame& frame)> onPresented;
    InputHooks inputHooks;
    InputState inputState;

    // Arms (or re-arms) first-picture detection from now.
    void markOpened();
    // Starts and stops the per-refresh ticks. Once stop() returns, every picture drawn has been counted and
    // handed to onPresented, and nothing more comes. Destroying the view stops them too, counting nothing.
    void start();
    void stop();
    bool isRunning() const { return running_; }

    int shownFPS() const;
    int shownTotal() const;
    Latency latencyMs() const;
    double hostProcessingMs() const;
    // The last pictures drawn (at most presentedKept), oldest first. Main thread.
    std::vector<Presented> presented() const;
    // How long the main thread waited, in all, while the render thread's GL first met a surface (seconds).
    // Main thread.
    double introductionWaited() const { return introductionWaited_; }

    // One step by hand: takes the frame to show from the slot, has the render thread draw and swap it
    // (waiting for that), counts it, logs the first pictures. For an owner that does not start() the view
    // (or a test); while the view runs, the render thread takes the frames itself.
    void tick();
    // Mean brightness (0...255) of a sample of the picture; 255 whenever it cannot be measured.
    static double averageLuma(const platform::PixelBuffer& picture);
    // The uptime clock the view reads; tests step time through it. Also restarts the one-second window.
    void setClock(std::function<double()> clock);

    // Tests: the next `count` attempts to make the GL context current on a surface fail, as a driver's may.
    void refuseMakeCurrent(int count);

    // The picture as the surface shows it, drawn again into the surface's back buffer and read back from
    // there (glReadPixels) by the render thread, which this waits for. Null while the surface is not on
    // screen.
    QImage grabFramebuffer();
    // Lets `image` (at `area`, in the view's coordinates) fade out over the picture within `seconds`: for a
    // panel over the picture, which as a window of its own cannot fade over the surface itself.
    void fadeAway(const QImage& image, const QRect& area, double seconds);
    // Lays `image` (at `area`, in the view's coordinates) over every picture drawn from now on, until another
    // is laid or a null image takes it away: for a look over the moving picture that cannot be a window of
    // its own (one that lets the picture show through). A fading panel's look lies above it.
    void setOverlay(const QImage& image, const QRect& area);

    // Input side.
    void keyDown(const platform::KeyEvents::Event& event);
    void keyUp(const platform::KeyEvents::Event& event);
    void flagsChanged(const platform::KeyEvents::Event& event);
    // Key-downs carrying Command come here first; true when handled.
    bool performKeyEquivalent(const platform::KeyEvents::Event& event);

    void capturePointer();
    void releasePointer();
    bool isPointerCaptured() const { return inputState.captured; }
    void releaseAllInput();
    void watchFocusForPointer();
    // Relative motion in pixels (y downward), as the pointer capture reports it while captured.
    void relativeMotion(double dx, double dy);
    // The picture's rectangle in the view: the stream size fitted into the bounds (origin bottom left).
    QRectF videoRect() const;
    bool focusWatched() const { return focusWatched_; }

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    // Display side, main thread.
    // A main thread that has fallen behind is handed the pictures of this many of the newest frames only;
    // the older ones it still counts, without measuring or passing on their pictures.
    static constexpr std::size_t picturesHanded = 4;
    // A frame the render thread took while running, drawn or not (no surface on screen).
    struct Shown {
        DecodedFrame frame;
        Presented timing;
        bool drawn = false;
    };
    // What the render thread lays over the picture: the main thread's say.
    struct Look {
        QImage image;
        QRectF area;  // device pixels
        float opacity = 1;
        std::uint64_t generation = 0;  // a new image
    };
    // The renderer's layers: the kept overlay beneath, a fading panel above it.
    static constexpr int overlayLayer = 0;
    static constexpr int fadeLayer = 1;
    // Where and what the render thread draws, as the main thread last said.
    struct Target {
        QWindow* surface = nullptr;  // null while none is on screen
        WId window = 0;              // its native window
        QSurfaceFormat format;
        QSize pixels;
        double refresh = 0;
        std::optional<Look> overlay;
        std::optional<Look> fade;
        std::uint64_t redraws = 0;  // the redraws asked for so far: drawing this answers them
    };
    // Whether `frame` is new, recording it as taken for showing. Any thread.
    bool claim(const std::optional<DecodedFrame>& frame);
    // Statistics, log lines and hooks of one frame taken for showing at `now` (the view's clock); `timing`
    // when it was drawn.
    void account(const DecodedFrame& frame, double now, const Presented* timing);
    // The rate window: at every tick, and on the slow timer while running.
    void rollSecond(double now);
    void presentedArrived();
    double refreshInterval() const;
    void ensureSurface();
    // Tells the render thread where to draw and at what refresh; `redraw` asks it to draw once more.
    void publishSurface(bool redraw);
    // Has the render thread make its GL context current on `surface` for the first time, draw and swap, while
    // this thread waits: see makeCurrent.
    void introduceSurface(QWindow* surface);
    // Blocks until the render thread has let go of the surface, which is about to go.
    void detachSurface();
    // Hands the overlay and the fade's look at this moment to the render thread, which lays them over every
    // picture it draws; ends a fade whose time is up. `redraw` asks for a picture with them.
    void updateLooks(bool redraw);
    // Runs `job` on the render thread and waits for it.
    template <class Job> void onRenderThread(Job&& job);
    // Stops taking frames; what the render thread draws meanwhile is left uncounted.
    void halt();

    // Render thread (and the jobs run there).
    void renderLoop();
    Target targetLocked() const;  // under renderLock
    Target currentTarget();
    // A frame taken from the slot while running: drawn, then handed to the main thread.
    void takeAndDraw(const Target& target);
    // Writes the eventfd when `wake` (the first wake-up of a batch).
    void wakeMainThread(bool wake);
    // Makes `frame` the one shown, then draws and swaps.
    bool present(const DecodedFrame& frame, const Target& target, Presented& timing);
    void showHDR(const DecodedFrame& frame);
    bool makeCurrent(const Target& target);
    // Draws what the view shows into the surface's back buffer, and swaps when asked. False when no
    // surface is on screen.
    bool render(const Target& target, bool swap, Presented* timing = nullptr);
    // Draws `look` in the renderer's `layer`, taking its image there first when it is new to it (`shown`
    // holds the generation the layer has, 0: none).
    void lay(const std::optional<Look>& look, int layer, std::uint64_t& shown, QSize pixels);
    QImage readBack(const Target& target);
    void releaseGL();

    // Input side.
    void sendKeyVK(std::uint16_t vk, bool down, const platform::KeyEvents::Event& event);
    void sendPacket(Bytes packet);
    // Mac-style view coordinates of a widget position: origin bottom left, y upward.
    QPointF viewPoint(const QPointF& widgetPosition) const;
    void sendPosition(const QPointF& widgetPosition);
    void sendButton(InputPacket::MouseButton button, bool down);
    void updatePointerVisibility(std::optional<QPointF> point);
    void pointerFocusChanged(bool gained);
    void setPointerHidden(bool hoverHidden, bool captureHidden);

    mutable std::mutex lock;
    FrameSlot slot_;
    std::optional<std::uint32_t> shownIndex;
    int shownThisSecond = 0;
    double secondStart = 0;
    int _shownFPS = 0;
    int _shownTotal = 0;
    double _decodeToShowMs = 0;
    double _packetToShowMs = 0;
    double _hostMs = 0;

    std::function<double()> clock_;
    std::optional<double> openedAt;
    bool firstShownLogged = false;
    bool nonBlackSeen = false;
    bool focusWatched_ = false;

    bool running_ = false;
    QTimer rateTimer_;
    QPointer<StreamSurface> surface_;
    double introductionWaited_ = 0;
    struct Fade {
        QImage image;
        QRect area;
        double start = 0;
        double seconds = 0;
    };
    std::optional<Fade> fade_;
    std::uint64_t fadeGeneration_ = 0;
    struct Overlay {
        QImage image;
        QRect area;
    };
    std::optional<Overlay> overlay_;
    std::uint64_t overlayGeneration_ = 0;
    QTimer fadeTimer_;  // a step every refresh while a panel fades
    std::array<Presented, presentedKept> presented_{};
    std::size_t presentedCount_ = 0;
    // The render thread wakes the main thread through an eventfd: one write per batch of frames.
    int wakeFd_ = -1;
    QSocketNotifier* wakeNotifier_ = nullptr;
    std::vector<Shown> arrived_;  // swapped with the shared batch, so both keep their capacity

    // Shared by the main thread, the render thread and the slot's put; `renderLock` is held only to copy or
    // swap. The render thread waits on `renderWake`, the main thread on `jobDone` for a job it handed over.
    std::mutex renderLock;
    std::condition_variable renderWake;
    std::condition_variable jobDone;
    struct Shared {
        // The main thread's window: before it goes, the main thread waits for the render thread to let go.
        QWindow* surface = nullptr;
        // The surface the render thread's GL first met during a job (see makeCurrent): it draws into no other.
        QWindow* introduced = nullptr;
        // The surface whose introduction failed to make the context current, until the render thread asks the
        // main thread to try again (`reintroduce`).
        QWindow* failed = nullptr;
        bool reintroduce = false;
        WId window = 0;
        QSurfaceFormat format;
        QSize pixels;
        bool exposed = false;
        std::optional<Look> overlay;
        std::optional<Look> fade;
        double refresh = 1.0 / 60;
        bool running = false;
        bool framePut = false;  // the slot got a frame since the render thread last looked
        std::uint64_t redraws = 0;
        bool quit = false;
        struct Job {
            void (*run)(void*) = nullptr;
            void* argument = nullptr;
        };
        std::optional<Job> job;
        std::uint64_t jobsPosted = 0;
        std::uint64_t jobsDone = 0;
        std::vector<Shown> shown;  // for the main thread, oldest first
        bool wakePending = false;
    } shared_;

    // The render thread's own. What is drawn: the current frame (holding it holds its picture), uploaded
    // when it changed.
    std::unique_ptr<QOpenGLContext> context_;
    RenderConnectionPool::Held connection_;  // on X11: draws what context_ would, off Qt's connection
    QWindow* glSurface_ = nullptr;  // the surface the context was last made current on
    bool glFailed_ = false;         // no context could be made: nothing is drawn
    bool connectionTried_ = false;  // for the current context
    int refusals_ = 0;              // see refuseMakeCurrent
    bool inJob_ = false;            // running a job the main thread waits for
    std::optional<PictureRenderer> renderer_{std::in_place};
    PictureUploader uploader_{slot_};  // with a connection of its own: the next picture's planes, ahead
    bool uploaderTried_ = false;       // for the current context
    std::optional<DecodedFrame> current;
    bool uploadPending = false;
    bool hdrActive = false;           // the HDR path is showing
    std::uint64_t overlayShown_ = 0;  // the overlay's image in the renderer, by generation (0: none)
    std::uint64_t fadeShown_ = 0;     // the fade's image in the renderer, by generation (0: none)
    std::uint64_t redrawsDone_ = 0;
    double lastDrawAt_ = -1;
    std::optional<double> pacedAt_;  // with frame pacing: when to look for the next queued frame
    std::thread renderThread_;

    platform::KeyEvents keyEvents;
    std::optional<std::uint16_t> passedOnKey;  // Command-Q or Command-H left to the desktop
    platform::PointerCapture pointerCapture;
    bool hoverHidden_ = false;
    bool captureHidden_ = false;
};

}  // namespace corvane::stream
