#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QPointF>
#include <QRectF>
#include <QTimer>

#include "engine/input/InputPacket.hpp"
#include "engine/video/DecodedFrame.hpp"
#include "engine/view/FrameSlot.hpp"
#include "engine/view/InputHooks.hpp"
#include "engine/view/InputState.hpp"
#include "platform/keys/KeyEvents.hpp"
#include "platform/pointer/PointerCapture.hpp"
#include "platform/video/PixelBuffer.hpp"

class QOpenGLShaderProgram;

namespace corvane::stream {

// The engine's view of the stream: shows the newest decoded picture once per screen refresh and turns the
// user's keyboard, mouse and wheel into input packets.
//
// Display side: frames arrive in `slot()` from the decoder's thread; `tick()` runs on the main thread once
// per refresh, driven by the widget's own frame swaps (so by the screen's vsync), takes at most one frame,
// and the next paint uploads it as a texture and draws it aspect-fitted on black. 10-bit 'x420' pictures
// go through a shader that converts their two planes. The first frame and the first non-black frame after
// markOpened() are logged, the latter also reported through onFirstPicture.
//
// Input side: key and mouse events of the widget become packets handed to `inputHooks.send`; pointer
// capture grabs the pointer and keyboard on X11 and sends raw relative motion.
//
// Everything runs on the main thread except put() on the slot and the statistics getters, which any
// thread may call. Whoever puts frames from another thread stops doing so before the view is destroyed.
class StreamView final : public QOpenGLWidget, protected QOpenGLFunctions {
    Q_OBJECT

public:
    using MouseMode = stream::MouseMode;

    struct Latency {
        double decodeToShow = 0;
        double packetToShow = 0;
    };

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

    // The per-refresh step: takes the frame to show from the slot, counts it, logs the first pictures.
    // Public so that an owner without a running screen (or a test) can step the view itself.
    void tick();
    // Mean brightness (0...255) of a sample of the picture; 255 whenever it cannot be measured.
    static double averageLuma(const platform::PixelBuffer& picture);
    // The uptime clock the view reads; tests step time through it. Also restarts the one-second window.
    void setClock(std::function<double()> clock);

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
    void initializeGL() override;
    void paintGL() override;
    void showEvent(QShowEvent* event) override;
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
    void onFrameSwapped();
    void runTick();
    double refreshInterval() const;
    void showHDR(const DecodedFrame& frame);
    void releaseGL();
    void upload(const platform::PixelBuffer& picture);
    bool ensurePrograms();

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

    // Ticks: one per frame swap, no closer together than most of a refresh interval (a screen without
    // vsync swaps as fast as it can); a slow timer keeps ticking while nothing is painted (hidden window).
    bool running_ = false;
    QMetaObject::Connection swapConnection;
    QMetaObject::Connection contextConnection;
    QTimer pacedTick;
    QTimer fallbackTick;
    double lastTickAt = -1;

    // What the next paint draws; holding the frame holds its picture.
    std::optional<DecodedFrame> current;
    bool uploadPending = false;
    bool textureValid = false;
    bool glReady = false;
    unsigned int textures[3] = {0, 0, 0};  // BGRA picture, luma, chroma
    int textureWidth[3] = {0, 0, 0};
    int textureHeight[3] = {0, 0, 0};
    std::unique_ptr<QOpenGLShaderProgram> bgraProgram;
    std::unique_ptr<QOpenGLShaderProgram> x420Program;

    platform::KeyEvents keyEvents;
    std::optional<std::uint16_t> passedOnKey;  // Command-Q or Command-H left to the desktop
    platform::PointerCapture pointerCapture;
    bool hoverHidden_ = false;
    bool captureHidden_ = false;
};

}  // namespace corvane::stream
