#include "app/updates/UpdateManager.hpp"

#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/Log.hpp"
#include "app/services/OnPool.hpp"
#include "app/updates/UpdateScratch.hpp"
#include "engine/Text.hpp"

#include <QCoreApplication>

#include <algorithm>
#include <unistd.h>

namespace corvane {
namespace {

std::string displayName(const std::string& component) {
    if (component == "agent") return "Box software";
    if (component == "host") return "Corvane streamer";
    if (component == "gamepad") return "Controller driver";
    return component;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return text;
}

bool endpointMissing(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const AgentClient::AgentError& agentError) {
        return agentError.endpointMissing();
    } catch (...) {
        return false;
    }
}

// Box text in a log line: escaped, so it cannot forge lines, and cut short.
std::string forLog(const std::string& text) { return stream::text::forLog(text, 1000); }

// What the box says is shown as it is, only kept to a length a status line can hold.
std::string shownText(const std::string& text) {
    constexpr std::size_t kMaxBytes = 500;
    return text.size() > kMaxBytes ? text.substr(0, kMaxBytes) + "..." : text;
}

constexpr const char* kRestartFailed =
    "The box software could not restart itself to finish the update. Run the box setup on the box once more "
    "(Show Steps); after that, box updates install from here.";

} // namespace

UpdateManager::UpdateManager(Clock& clock, AppPool& pool, AgentClient agent, AppInfo info, QObject* parent)
    : QObject(parent), relaunchWaitPid(::getpid()), clock_(clock), pool_(pool), agent_(std::move(agent)),
      info_(std::move(info)) {
    // Quitting the app stops this manager's work too.
    poolStop_ = std::make_unique<std::stop_callback<std::function<void()>>>(
        pool.token(), std::function<void()>([this] { stop_.request_stop(); }));
}

UpdateManager::~UpdateManager() {
    poolStop_.reset();
    stop_.request_stop();
    // A quit in the middle of an app update: its coroutine never resumes, so what it made goes here.
    if (scratch_) scratch_->release();
}

void UpdateManager::setStatus(Status status) {
    status_ = std::move(status);
    publish();
}

void UpdateManager::setProgress(std::optional<double> progress) {
    progress_ = progress;
    publish();
}

int UpdateManager::pendingCount() const { return (canUpdateApp() ? 1 : 0) + static_cast<int>(boxUpdates_.size()); }

bool UpdateManager::isBusy() const {
    return batchStep_.has_value() || status_.kind == Status::Kind::updating || status_.kind == Status::Kind::checking;
}

void UpdateManager::dismissResult() {
    showResult_ = false;
    if (status_.kind == Status::Kind::failed) status_ = Status::idle();
    publish();
}

void UpdateManager::startAutomaticChecks() {
    if (timerStarted_) return;
    timerStarted_ = true;
    tidyUp();
    check(false);
    // The repeating timer: lives as long as the manager, each firing starts its own check.
    [](QPointer<UpdateManager> self, Clock& clock) -> QCoro::Task<> {
        for (;;) {
            co_await clock.sleep(kCheckInterval);
            if (!self) co_return;
            self->check(false);
        }
    }(QPointer<UpdateManager>(this), clock_);
}

void UpdateManager::checkNow() { check(true); }

QCoro::Task<> UpdateManager::check(bool manual) {
    if (isBusy()) co_return;
    QPointer<UpdateManager> self(this);
    setStatus(Status::checking());
    auto found = co_await findAppUpdate();
    if (!self) co_return;
    std::optional<std::string> obstacle;
    // A build goes beside its source folder; only a download replaces the installed app.
    if (found && found->source.kind == AppUpdate::Source::Kind::download) {
        auto finding = onPool(pool_, stop_.get_token(), [bundle = runningBundleOverride, program = runningProgram,
                                                         identifier = info_.identifier](std::stop_token) {
            return obstacleRow(bundle, program, identifier);
        });
        obstacle = co_await finding;
        if (!self) co_return;
    }
    appUpdate_ = std::move(found);
    appUpdateObstacle_ = std::move(obstacle);
    publish();
    if (boxIsConnected_) {
        co_await checkBox(manual);
        if (!self) co_return;
    }
    lastChecked_ = clock_.wallTime();
    status_ = Status::upToDate();
    showResult_ = manual || appUpdate_ || !boxUpdates_.empty() || boxNeedsSetup_;
    publish();
}

void UpdateManager::boxConnected(bool connected) {
    if (connected) {
        if (boxIsConnected_) return;
        boxIsConnected_ = true;
        [](UpdateManager* manager) -> QCoro::Task<> {
            QPointer<UpdateManager> self(manager);
            co_await manager->checkBox(false);
            if (!self) co_return;
            if (!self->boxUpdates_.empty() || self->boxNeedsSetup_) {
                self->showResult_ = true;
                self->publish();
            }
        }(this);
        return;
    }
    if (!boxIsConnected_) return;
    boxIsConnected_ = false;
    if (!isBusy()) {
        boxUpdates_.clear();
        boxNeedsSetup_ = false;
        publish();
    }
}

QCoro::Task<> UpdateManager::checkBox(bool force) {
    QPointer<UpdateManager> self(this);
    std::optional<AgentClient::BoxUpdates> reply;
    std::exception_ptr error;
    try {
        auto asking = onPool(pool_, stop_.get_token(), [agent = agent_, force](std::stop_token stop) { return agent.checkUpdates(force, stop); });
        reply = co_await asking;
    } catch (...) {
        error = std::current_exception();
    }
    if (!self) co_return;
    if (reply) {
        boxNeedsSetup_ = !reply->canUpdate && !reply->available.contains("agent");
        const auto host = reply->installed.find("host");
        boxHostVersion_ = host == reply->installed.end() ? std::nullopt : std::optional<std::string>(host->second);
        boxUpdates_.clear();
        for (const char* component : {"agent", "host"}) {
            const auto offered = reply->available.find(component);
            if (offered != reply->available.end()) boxUpdates_.push_back({component, offered->second});
        }
        publish();
    } else if (endpointMissing(error)) {
        boxNeedsSetup_ = true;
        boxUpdates_.clear();
        publish();
    } else {
        Log::write("box update check failed: " + forLog(stream::text::messageOf(error)));
    }
}

void UpdateManager::updateBox(const std::string& component) {
    if (isBusy()) return;
    performBoxUpdate(component);
}

QCoro::Task<bool> UpdateManager::performBoxUpdate(std::string component) {
    QPointer<UpdateManager> self(this);
    const std::string name = displayName(component);
    status_ = Status::updating("Preparing the " + lower(name) + " update...");
    progress_ = 0.0;
    publish();
    std::exception_ptr error;
    std::string version;
    try {
        if (prepareForUpdate) {
            co_await prepareForUpdate();
            if (!self) co_return false;
        }
        auto starting = onPool(pool_, stop_.get_token(), [agent = agent_, component](std::stop_token stop) { agent.startUpdate(component, stop); });
        co_await starting;
        if (!self) co_return false;
        Log::write("box update started: " + component);
        version = co_await followBoxUpdate();
        if (!self) co_return false;
        if (component == "agent") {
            setStatus(Status::updating("Waiting for the box software to restart..."));
            co_await waitForAgent(version);
            if (!self) co_return false;
        }
    } catch (...) {
        error = std::current_exception();
    }
    if (!self) co_return false;
    if (!error) {
        std::erase_if(boxUpdates_, [&](const BoxUpdate& entry) { return entry.component == component; });
        if (component == "agent") boxNeedsSetup_ = false;
        progress_.reset();
        status_ = Status::upToDate();
        publish();
        Log::write("box update finished: " + forLog(component) + " " + forLog(version));
        co_return true;
    }
    const std::string text = shownText(stream::text::messageOf(error));
    progress_.reset();
    if (component == "agent") boxNeedsSetup_ = true;
    status_ = Status::failed(text);
    showResult_ = true;
    publish();
    Log::write("box update failed: " + forLog(component) + ": " + forLog(text));
    co_return false;
}

QCoro::Task<std::string> UpdateManager::followBoxUpdate() {
    QPointer<UpdateManager> self(this);
    int failures = 0;
    for (;;) {
        co_await clock_.sleep(1);
        if (!self) throw UpdateError("cancelled");
        if (stop_.stop_requested()) throw UpdateError("cancelled");
        std::optional<AgentClient::UpdateStatus> reply;
        try {
            auto polling = onPool(pool_, stop_.get_token(), [agent = agent_](std::stop_token stop) {
                return AgentClient::UpdateStatus::decode(agent.send(agent.url({"v1", "update", "status"}), 5, stop));
            });
            reply = co_await polling;
        } catch (...) {
        }
        if (!self) throw UpdateError("cancelled");
        if (!reply) {
            if (failures == kToleratedFailedPolls) throw UpdateError("Lost contact with the box during the update.");
            ++failures;
            continue;
        }
        if (reply->message) status_ = Status::updating(shownText(*reply->message));
        // Negative, and not-a-number, reports are ignored; the bar never moves back or past 1.
        if (reply->progress >= 0) progress_ = std::max(progress_.value_or(0.0), std::min(reply->progress, 1.0));
        publish();
        if (reply->state == "done") co_return reply->version.value_or("");
        if (reply->state == "failed") throw UpdateError(reply->message.value_or("The box update failed."));
        failures = 0;
    }
}

QCoro::Task<> UpdateManager::waitForAgent(std::string version) {
    QPointer<UpdateManager> self(this);
    for (int tries = 0;;) {
        co_await clock_.sleep(1);
        if (!self || stop_.stop_requested()) throw UpdateError("cancelled");
        std::optional<std::string> answered;
        try {
            auto asking = onPool(pool_, stop_.get_token(), [agent = agent_](std::stop_token stop) { return agent.info(stop).agentVersion; });
            answered = co_await asking;
        } catch (...) {
        }
        if (!self) throw UpdateError("cancelled");
        if (answered && (version.empty() || *answered == version)) co_return;
        if (++tries >= kAgentRestartTries) throw UpdateError(kRestartFailed);
    }
}

void UpdateManager::updateAll() {
    if (isBusy() || pendingCount() < 1) return;
    std::vector<std::string> components;
    for (const auto& entry : boxUpdates_) components.push_back(entry.component);
    std::stable_sort(components.begin(), components.end(),
                     [](const std::string& a, const std::string& b) { return a == "agent" && b != "agent"; });
    // The app only where it can update itself; the box's components all the same.
    const auto app = canUpdateApp() ? appUpdate_ : std::nullopt;
    const int total = static_cast<int>(components.size()) + (app ? 1 : 0);
    Log::write("update all: " + std::to_string(total) + " updates");
    updateAllSteps(std::move(components), app, total);
}

QCoro::Task<> UpdateManager::updateAllSteps(std::vector<std::string> components, std::optional<AppUpdate> app,
                                            int total) {
    QPointer<UpdateManager> self(this);
    const auto stepText = [total](std::size_t i) { return std::to_string(i) + " of " + std::to_string(total); };
    for (std::size_t i = 0; i < components.size(); ++i) {
        batchStep_ = stepText(i + 1);
        publish();
        const bool ok = co_await performBoxUpdate(components[i]);
        if (!self) co_return;
        if (!ok) {
            batchStep_.reset();
            publish();
            co_return;
        }
    }
    if (app) {
        batchStep_ = stepText(components.size() + 1);
        publish();
        co_await performAppUpdate(*app);
        if (!self) co_return;
    }
    batchStep_.reset();
    if (status_.kind != Status::Kind::failed) {
        status_ = Status::upToDate();
        showResult_ = true;
        Log::write("update all: finished");
    }
    publish();
}

} // namespace corvane
