#pragma once

#include "app/services/agent/AgentClient.hpp"
#include "app/updates/AppInfo.hpp"
#include "app/updates/UpdateArchive.hpp"
#include "platform/core/Error.hpp"
#include "platform/http/Http.hpp"

#include <QCoroTask>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <sys/types.h>
#include <vector>

class QWidget;

namespace corvane {

class AppPool;
class Clock;
class UpdateScratch;

// The one model of what updates exist for the application and the box, and of the one update activity
// that may run at a time. Main thread only: every asynchronous step is a coroutine on the main thread;
// agent calls, file work, hashing and unpacking run on the app pool with a stop token this object's
// destructor requests. Every change of a published field emits changed().
class UpdateManager final : public QObject {
    Q_OBJECT
public:
    struct Status {
        enum class Kind { idle, checking, upToDate, updating, failed };
        Kind kind = Kind::idle;
        std::string text;  // for updating and failed

        static Status idle() { return {}; }
        static Status checking() { return {Kind::checking, {}}; }
        static Status upToDate() { return {Kind::upToDate, {}}; }
        static Status updating(std::string text) { return {Kind::updating, std::move(text)}; }
        static Status failed(std::string text) { return {Kind::failed, std::move(text)}; }
        bool operator==(const Status&) const = default;
    };

    struct BoxUpdate {
        std::string component;
        std::string version;
        bool operator==(const BoxUpdate&) const = default;
    };

    struct AppUpdate {
        struct Source {
            enum class Kind { sourceFolder, download };
            Kind kind = Kind::download;
            std::string url;  // the folder's path for sourceFolder
            std::optional<std::string> sha256;
            bool operator==(const Source&) const = default;
        };
        std::string version;
        std::optional<std::string> notes;
        Source source;
        bool operator==(const AppUpdate&) const = default;
    };

    class UpdateError final : public Error {
    public:
        enum class Kind { message };
        explicit UpdateError(std::string message, std::string detail = {})
            : Error(message), message(std::move(message)), detail(std::move(detail)) {}
        Kind kind = Kind::message;
        std::string message;
        std::string detail;  // why, for the log
    };

    static constexpr double kCheckInterval = 21600;
    static constexpr int kAgentRestartTries = 90;
    static constexpr int kToleratedFailedPolls = 30;
    static constexpr double kFeedSeconds = 15;
    static constexpr std::size_t kMaxFeedBytes = 1 << 20;
    static constexpr double kBuildSeconds = 1200;

    UpdateManager(Clock& clock, AppPool& pool, AgentClient agent, AppInfo info = AppInfo::current(),
                  QObject* parent = nullptr);
    ~UpdateManager() override;

    // Published fields.
    const Status& status() const { return status_; }
    const std::optional<AppUpdate>& appUpdate() const { return appUpdate_; }
    const std::optional<std::string>& boxHostVersion() const { return boxHostVersion_; }
    const std::optional<std::chrono::system_clock::time_point>& lastChecked() const { return lastChecked_; }
    const std::optional<double>& progress() const { return progress_; }
    bool showResult() const { return showResult_; }
    const std::vector<BoxUpdate>& boxUpdates() const { return boxUpdates_; }
    bool boxNeedsSetup() const { return boxNeedsSetup_; }
    const std::optional<std::string>& batchStep() const { return batchStep_; }
    // Why the app cannot install the update found where it is installed, and what to do; set with appUpdate,
    // or by an update that finds it. The app's update buttons are off while it is set.
    const std::optional<std::string>& appUpdateObstacle() const { return appUpdateObstacle_; }
    bool canUpdateApp() const { return appUpdate_ && !appUpdateObstacle_; }
    // The failure shown is that advice: screens show it whole.
    bool failedOnObstacle() const { return status_.kind == Status::Kind::failed && appUpdateObstacle_ == status_.text; }

    const std::string& currentVersion() const { return info_.version; }
    // Ends a running stream and returns once it has stopped; set by the box controller.
    std::function<QCoro::Task<>()> prepareForUpdate;

    // Starts the checks once; first tidies up after an earlier run (tidyUp).
    void startAutomaticChecks();
    // What an earlier run left: versions of the app it replaced or did not get to switch to, unpack folders
    // and archives no running instance holds, an earlier version's interrupted folder swap. Also tidies the
    // install folder the last update named when this start runs from elsewhere.
    QCoro::Task<> tidyUp();
    void checkNow();
    void dismissResult();
    // The updates that can be installed from here: the box's, and the app's where it can update itself.
    int pendingCount() const;
    bool isBusy() const;
    void boxConnected(bool connected);
    void updateApp();
    void updateBox(const std::string& component);
    void updateAll();

    // The box setup page beside the update feed ("https://" feeds only), or nothing.
    std::optional<std::string> boxSetupURL() const;
    // The one-time box setup steps as an alert; "Copy Link" puts the link on the clipboard.
    QCoro::Task<> showBoxSetupSteps(QWidget* parent = nullptr);

    // Pure rules, usable from any thread.
    static bool isNewer(const std::string& version, const std::string& other);
    static std::optional<std::string> notes(const std::string& version, const std::optional<std::string>& changelog);
    static std::optional<double> buildProgress(const std::string& line);
    // Blocking readers of the two sources (worker threads).
    static std::optional<AppUpdate> fetchFeed(const std::string& url, std::stop_token stop = {},
                                              const platform::Http::Transport& transport = {});
    static std::optional<AppUpdate> readSourceFolder(const std::filesystem::path& folder, const std::string& current);

    // Seams for tests and the demo; the application leaves them alone.
    std::optional<std::filesystem::path> runningBundleOverride;  // else the install folder of runningProgram
    std::filesystem::path runningProgram = "/proc/self/exe";
    std::function<void()> quit;                                  // else QCoreApplication::quit
    pid_t relaunchWaitPid;                                       // the process the relaunch waits for
    UpdateArchive::Limits archiveLimits;
    double buildTimeLimit = kBuildSeconds;
    std::filesystem::path temporaryFolder;                       // else the system's temporary folder
    std::filesystem::path stateFolder;                           // else the log's folder (the update journals)

Q_SIGNALS:
    void changed();

private:
    friend struct UpdateManagerProbe;  // tests set published fields directly
    QCoro::Task<> check(bool manual);
    QCoro::Task<> checkBox(bool force);
    QCoro::Task<bool> performBoxUpdate(std::string component);
    QCoro::Task<std::string> followBoxUpdate();
    QCoro::Task<> waitForAgent(std::string version);
    QCoro::Task<std::optional<AppUpdate>> findAppUpdate();
    QCoro::Task<> performAppUpdate(AppUpdate update);
    QCoro::Task<std::filesystem::path> downloadAndInstall(std::string url, std::optional<std::string> sha256);
    QCoro::Task<std::filesystem::path> buildFromSource(std::filesystem::path folder);
    QCoro::Task<> updateAllSteps(std::vector<std::string> components, std::optional<AppUpdate> app, int total);
    void advance(double value);
    void relaunch(const std::filesystem::path& app);

    // Where the app is installed, and why it cannot update itself there (the update row's text). Blocking file
    // work, usable from any thread.
    static std::optional<std::filesystem::path> installFolder(const std::optional<std::filesystem::path>& bundle,
                                                              const std::filesystem::path& program,
                                                              const std::string& identifier);
    static std::optional<std::string> obstacleRow(const std::optional<std::filesystem::path>& bundle,
                                                  const std::filesystem::path& program, const std::string& identifier);
    std::filesystem::path temporaryPath() const;
    std::filesystem::path swapJournal() const;
    std::filesystem::path installJournal() const;
    void setStatus(Status status);
    void setProgress(std::optional<double> progress);
    void publish() { Q_EMIT changed(); }

    Clock& clock_;
    AppPool& pool_;
    AgentClient agent_;
    AppInfo info_;
    std::stop_source stop_;
    std::unique_ptr<std::stop_callback<std::function<void()>>> poolStop_;
    bool timerStarted_ = false;
    bool boxIsConnected_ = false;
    QPointer<QWidget> setupAlert_;
    std::shared_ptr<UpdateScratch> scratch_;  // the running app update's archive and unpack folder

    Status status_;
    std::optional<AppUpdate> appUpdate_;
    std::optional<std::string> boxHostVersion_;
    std::optional<std::chrono::system_clock::time_point> lastChecked_;
    std::optional<double> progress_;
    bool showResult_ = false;
    std::vector<BoxUpdate> boxUpdates_;
    bool boxNeedsSetup_ = false;
    std::optional<std::string> batchStep_;
    std::optional<std::string> appUpdateObstacle_;
};

} // namespace corvane
