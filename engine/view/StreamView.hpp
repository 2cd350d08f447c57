#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <QImage>
#include <QPointer>
#include <QPointF>
#include <QRectF>
#include <QTimer>
#include <QWidget>

#include "engine/input/InputPacket.hpp"
#include "engine/video/DecodedFrame.hpp"
#include "engine/view/FrameSlot.hpp"
#include "engine/view/InputHooks.hpp"
#include "engine/view/InputState.hpp"
#include "engine/view/PictureRenderer.hpp"
#include "platform/keys/KeyEvents.hpp"
#include "platform/pointer/PointerCapture.hpp"
#include "platform/video/PixelBuffer.hpp"

class QOpenGLContext;
class QSocketNotifier;

namespace corvane::stream {

class StreamSurface;

// The engine's view of the stream: shows the newest decoded picture, at most once per screen refresh, and
// turns the user's keyboard, mouse and wheel into input packets.
//
// Display side: the picture is drawn into a GL surface of the view's own (StreamSurface, a native child
// window filling the view), so nothing stands between the draw and the screen. The view itself is a native
// window too; panels laid over the picture must be native windows of their own stacked above it (the
// surface always lies beneath the view's native children). Frames arrive in `slot()` from the decoder's
// thread, which wakes the main thread as each one arrives; `tick()` takes at most one frame a refresh (no
// sooner than most of a refresh interval after the last), uploads its planes, converts and draws them in a
// shader, and swaps as soon as the GL has drawn them (a software rasteriser draws on threads of its own
// while the main thread goes on). With frame pacing on, or while a panel fades, a tick comes every refresh;
// otherwise a slow timer keeps ticking while nothing comes, so the rate figure falls to 0.
// The first frame and the first non-black frame after markOpened() are logged, the latter also reported
// through onFirstPicture.
//
// Input side: key and mouse events of the widget become packets handed to `inputHooks.send`; pointer
// capture grabs the pointer and keyboard on X11 and sends raw relative motion.
//
// Everything runs on the main thread except put() on the slot and the statistics getters, which any
// thread may call. Whoever puts frames from another thread stops doing so before the view is destroyed.
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
        double tickAt = 0;      // the tick that took it from the slot
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
    // Starts and stops the per-refresh ticks. Destroying the view stops them too.
    void start();
    void stop();
    bool isRunning() const { return running_; }

    int shownFPS() const;
    int shownTotal() const;
    Latency latencyMs() const;
    double hostProcessingMs() const;
    // The last pictures drawn (at most presentedKept), oldest first. Main thread.
    std::vector<Presented> presented() const;

    // The per-refresh step: takes the frame to show from the slot, counts it, draws it, logs the first
    // pictures. Public so that an owner without a running screen (or a test) can step the view itself.
    void tick();
    // Mean brightness (0...255) of a sample of the picture; 255 whenever it cannot be measured.
    static double averageLuma(const platform::PixelBuffer& picture);
    // The uptime clock the view reads; tests step time through it. Also restarts the one-second window.
    void setClock(std::function<double()> clock);

    // The picture as the surface shows it, drawn again into the surface's back buffer and read back from
    // there (glReadPixels). Null while the surface is not on screen.
    QImage grabFramebuffer();
    // Lets `image` (at `area`, in the view's coordinates) fade out over the picture within `seconds`: for a
    // panel over the picture, which as a window of its own cannot fade over the surface itself.
    void fadeAway(const QImage& image, const QRect& area, double seconds);

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
    // Display side.
    void frameArrived();
    void scheduleTick();
    void runTick();
    double refreshInterval() const;
    void showHDR(const DecodedFrame& frame);
    void ensureSurface();
    bool makeCurrent();
    // Draws what the view shows into the surface's back buffer, and swaps when asked. False when the
    // surface is not on screen.
    bool render(bool swap, Presented* timing = nullptr);
    // Puts the drawn frame on screen once the GL has finished drawing it. `wait`: now, however long that
    // takes; otherwise only if it is done (else the poll tries again shortly).
    void completeSwap(bool wait);
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
    bool hdrActive = false;  // the 10-bit path is showing
    bool focusWatched_ = false;

    // Ticks: at a frame's arrival (woken through an eventfd the slot's put writes), no sooner than most of
    // a refresh interval after the last; every refresh while frames are paced or a panel fades; else a slow
    // timer.
    bool running_ = false;
    int wakeFd_ = -1;
    std::atomic<bool> wakePending_{false};
    QSocketNotifier* wakeNotifier_ = nullptr;
    QTimer tickTimer_;
    double lastTickAt = -1;

    // Drawing. What is drawn: the current frame (holding it holds its picture), uploaded when it changed.
    QPointer<StreamSurface> surface_;
    std::unique_ptr<QOpenGLContext> context_;
    bool glFailed_ = false;  // no context could be made: nothing is drawn
    PictureRenderer renderer_;
    std::optional<DecodedFrame> current;
    bool uploadPending = false;
    struct Fade {
        QImage image;
        QRect area;
        double start = 0;
        double seconds = 0;
        bool uploaded = false;
    };
    std::optional<Fade> fade_;
    // A drawn frame whose swap waits for the GL to finish: the main thread goes on meanwhile rather than
    // block in the swap while a software rasteriser works. Then the entry of `presented_` to complete.
    bool swapPending_ = false;
    bool tickAfterSwap_ = false;  // a tick came while the swap was pending: it runs once the swap is done
    bool fences_ = false;         // the context has fence syncs
    void* fence_ = nullptr;
    double swapDrawnAt_ = 0;
    std::optional<std::size_t> swapEntry_;
    QTimer swapPoll_;

    std::array<Presented, presentedKept> presented_{};
    std::size_t presentedCount_ = 0;

    platform::KeyEvents keyEvents;
    std::optional<std::uint16_t> passedOnKey;  // Command-Q or Command-H left to the desktop
    platform::PointerCapture pointerCapture;
    bool hoverHidden_ = false;
    bool captureHidden_ = false;
};

}  // namespace corvane::stream
