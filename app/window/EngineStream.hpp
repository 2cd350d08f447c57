#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <qcoro/qcorotask.h>

#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/window/CaptureHint.hpp"
#include "app/window/StreamWindow.hpp"
#include "app/window/StreamWindowWidget.hpp"
#include "app/window/SystemKeyTap.hpp"
#include "engine/BoxHost.hpp"
#include "engine/audio/AudioPipeline.hpp"
#include "engine/input/Gamepads.hpp"
#include "engine/session/StreamConfig.hpp"
#include "engine/session/StreamSession.hpp"
#include "engine/video/VideoPipeline.hpp"
#include "engine/view/StreamView.hpp"
#include "platform/core/Error.hpp"

class QMessageBox;

namespace corvane::platform {
class UserDefaults;
}

namespace corvane {

class StartView;

// The one window, "Windows", that holds a stream from opening to ending: it sizes the window, starts the
// session through the engine, wires input and controllers, follows the window's shape on the box, captures
// and frees the pointer, and ends cleanly however it closes. Made once for the app's whole run.
//
// Main thread only. Engine callbacks (session end, rumble) hop here through queued calls and carry the
// identity of their session, so a late report of an old session never touches the current one. Every await
// re-checks the stream's generation: a window closed (or a stream replaced) meanwhile ends the waiting work,
// and a session that came up after its window closed is stopped at once.
class EngineStream final : public QObject {
    Q_OBJECT

public:
    // The stream window's own failures; all others pass through unchanged. Domain "Corvane".
    class Error final : public corvane::Error {
    public:
        enum class Kind { notPaired = 1, noDesktop = 2 };
        static Error notPaired() { return Error(Kind::notPaired, "Corvane isn't paired with the box yet."); }
        static Error noDesktop() { return Error(Kind::noDesktop, "The box has no Desktop to open."); }
        const char* domain() const { return "Corvane"; }
        int code() const { return static_cast<int>(kind); }
        Kind kind;

    private:
        Error(Kind kind, std::string description) : corvane::Error(std::move(description)), kind(kind) {}
    };

    using Pixels = StreamSettings::Pixels;

    // The hint shown when the pointer is captured: how to release it.
    static std::string hintText(const KeyShortcut& releaseMouse);
    // The hint shown when the desktop's shortcuts start going to Windows in full screen.
    static std::string systemKeysHintText(const KeyShortcut& releaseMouse);

    // Controllers through a manager of the stream's own.
    EngineStream(Clock& clock, AppPool& pool, std::shared_ptr<platform::UserDefaults> defaults,
                 QObject* parent = nullptr);
    // Controllers through the app's one manager, which outlives this object.
    EngineStream(Clock& clock, AppPool& pool, std::shared_ptr<platform::UserDefaults> defaults,
                 platform::GamepadManager& gamepads, QObject* parent = nullptr);
    ~EngineStream() override;

    // Hooks the box controller installs.
    std::function<void(std::optional<std::string> reason)> onEnded;
    std::function<void()> onOpened;
    std::function<void(int width, int height)> onStreamSize;
    bool closingOnPurpose = false;

    // Opens the window and starts the stream; returns once input, controllers and the statistics run (or
    // at once when a window is already open). Throws Error and the engine's errors; the window is then gone.
    // The arguments are copied before the first suspension.
    QCoro::Task<> open(const std::shared_ptr<stream::BoxHost>& host, const StreamSettings& settings,
                       const std::optional<std::string>& boxName);
    // Closes the window and releases everything of the stream without stopping the session and without
    // calling onEnded. Safe when nothing is open, and from the window's or the view's own event handlers.
    void tearDown();

    QWidget* window() const;
    stream::StreamView* view() const { return view_; }
    std::shared_ptr<stream::StreamSession> session() const { return session_; }
    std::shared_ptr<stream::VideoPipeline> pipeline() const { return pipeline_; }
    std::shared_ptr<stream::AudioPipeline> audio() const { return audio_; }
    std::optional<StreamWindow::Info> streamWindowInfo() const;
    std::optional<double> endToEndMs() const;
    Pixels streamSize() const { return streamSize_; }
    // The stream that runs, as its session was opened (at the size its pictures now have): what the
    // overlay's card shows, whatever the settings become meanwhile. None before a session was made.
    std::optional<StatsOverlayStreamInfo> streamInfo() const { return streamInfo_; }
    bool restarting() const { return restarting_; }
    bool autoCaptureHeld() const { return autoCaptureHeld_; }
    // Windows cursor replies handled so far (stale ones included).
    std::uint64_t cursorReplies() const { return cursorReplies_; }
    const CaptureHint& hint() const { return hint_; }
    const SystemKeyTap& systemKeys() const { return systemKeys_; }

    // Window events, as the window reports them.
    void windowWillClose();
    // Every size change of the window; a drag's end is decided from them.
    void windowResized();
    void windowDidEnterFullScreen();
    void windowDidExitFullScreen();
    void windowDidResignKey();

    // The periodic lines (also run by the 5 s timer).
    void logStats();

private:
    // Who may still act: bumped by every open and teardown.
    using Generation = std::uint64_t;
    // What engine threads reach this object through; cut when it goes away.
    struct Relay {
        std::mutex lock;
        EngineStream* stream = nullptr;
    };
    // The session the controllers and the view send to, readable from the controllers' thread.
    struct SessionPort {
        std::mutex lock;
        std::shared_ptr<stream::StreamSession> session;
    };
    // The view's frame slot as the decoder's thread sees it; cut before the view can go.
    struct FrameOutlet {
        std::mutex lock;
        stream::FrameSlot* slot = nullptr;
    };

    bool alive(Generation generation) const { return generation == generation_ && window_; }
    QCoro::Task<> startSession(Generation generation);
    void setSession(std::shared_ptr<stream::StreamSession> session);
    void ended(std::uint64_t sessionId, const std::string& reason);
    void stopLater(std::shared_ptr<stream::StreamSession> session);
    void logStatsFinal(stream::StreamView& view);
    void refreshBoxWallpaper(const std::string& reason, double after);
    QCoro::Task<> wallpaperRequest(std::string reason, double after);
    QCoro::Task<std::optional<bool>> askSideways(Generation generation);
    void showWindow(Pixels size);
    void reshapeWindow(Pixels size);
    stream::InputHooks makeInputHooks();
    bool shortcut(const platform::KeyEvents::Event& event);
    void captureChanged(bool captured);

    // Reshaping.
    void scheduleReshape();
    QCoro::Task<> debounce(Generation generation, std::uint64_t ticket);
    Pixels sizeMatching() const;
    QCoro::Task<> reshape(Generation generation);
    QCoro::Task<> prepareBoxDisplay(Generation generation, Pixels size);
    // Asks the box agent for one display mode, whatever window there is, and logs its answer.
    QCoro::Task<> askDisplayMode(Pixels size);
    // `step` names a fixed step ("reshape", ...): a string literal.
    QCoro::Task<bool> waitForPicture(Generation generation, Pixels size, const char* step,
                                     std::function<std::int64_t()> ms, bool refreshWallpaper);
    QCoro::Task<bool> restartStream(Generation generation, Pixels size, const char* step,
                                    std::function<std::int64_t()> ms);

    // Pointer rules.
    void watchWindowsCursor();
    QCoro::Task<> cursorLoop(Generation generation, std::uint64_t watch);
    QCoro::Task<> cursorTick(Generation generation, std::uint64_t sequence);
    void cursorReply(std::uint64_t sequence, bool visible);
    void watchCapture();
    QCoro::Task<> captureLoop(Generation generation, std::uint64_t watch);
    void captureTick();
    void applicationStateChanged(Qt::ApplicationState state);
    void updateSystemKeys();
    bool isKeyAndActive() const;
    // Key, active, shown and on the current desktop: where the pointer may be captured.
    bool isInFront() const;

    QCoro::Task<> statsLoop(Generation generation);

    EngineStream(Clock& clock, AppPool& pool, std::shared_ptr<platform::UserDefaults> defaults,
                 platform::GamepadManager* gamepads, QObject* parent);

    Clock& clock_;
    AppPool& pool_;
    std::shared_ptr<platform::UserDefaults> defaults_;
    std::shared_ptr<Relay> relay_;
    std::shared_ptr<SessionPort> port_;
    std::shared_ptr<FrameOutlet> outlet_;
    std::shared_ptr<int> life_ = std::make_shared<int>(0);  // coroutines that outlive this object see it gone

    QPointer<StreamWindowWidget> window_;
    QPointer<stream::StreamView> view_;
    std::shared_ptr<stream::StreamSession> session_;
    std::uint64_t sessionId_ = 0;      // identity of session_
    std::uint64_t nextSessionId_ = 0;
    std::shared_ptr<stream::VideoPipeline> pipeline_;
    std::shared_ptr<stream::AudioPipeline> audio_;
    std::unique_ptr<stream::Gamepads> gamepads_;
    SystemKeyTap systemKeys_;
    CaptureHint hint_;
    QPointer<QMessageBox> sidewaysBox_;
    QList<QMetaObject::Connection> observers_;

    Generation generation_ = 0;
    std::uint64_t cursorWatch_ = 0;   // non-zero while the cursor poll runs
    std::uint64_t captureWatch_ = 0;  // non-zero while the capture check runs
    std::uint64_t statsTimer_ = 0;
    std::uint64_t watchSerial_ = 0;
    std::optional<double> cursorHiddenSince_;
    bool autoCaptureHeld_ = false;
    std::uint64_t cursorSequence_ = 0;  // the last poll sent
    std::uint64_t cursorApplied_ = 0;   // the newest poll whose reply was applied
    std::uint64_t cursorReplies_ = 0;
    std::optional<std::int64_t> lastDesktop_;
    bool gamepadsStarted_ = false;

    std::shared_ptr<stream::BoxHost> host_;
    StreamSettings settings_;
    std::optional<std::string> boxName_;
    stream::StreamConfig::Codec codec_ = stream::StreamConfig::Codec::hevc;
    Pixels streamSize_{1920, 1080};
    std::optional<StatsOverlayStreamInfo> streamInfo_;
    int chosenArea_ = 2073600;
    bool matchWindow_ = false;
    bool restarting_ = false;
    std::uint64_t reshapeTicket_ = 0;  // the scheduled reshape; 0: none
    std::uint64_t reshapeRuns_ = 0;    // bumped by every reshape that starts
    QSize ownSize_;                    // the window size the app itself asked for last
    bool reshapePending_ = false;
    bool hostStreamer_ = false;
    bool shapesChecked_ = false;
    std::optional<Pixels> boxMode_;    // the display mode last asked of the box agent
};

}  // namespace corvane
