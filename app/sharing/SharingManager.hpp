#pragma once

#include "app/services/agent/AgentClient.hpp"
#include "app/sharing/DropCatcher.hpp"
#include "app/sharing/TransferHUD.hpp"

#include <QByteArray>
#include <QCoroTask>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QFileDialog;
class QWidget;

namespace corvane {

class AppPool;
class Clock;
struct StreamSettings;

namespace platform {
class Notifier;
class Pasteboard;
} // namespace platform

// Everything exchanged between this computer and Windows on the box: the clipboard both ways, files that
// Windows puts in the agent's outbox, and files, folders, links and text sent to Windows. Sharing is on
// exactly while the box agent says it is available; then the clipboard is polled every 0.75 s and the
// outbox every 1.5 s on the injected clock. Box calls and file transfers run on the pool's threads; all
// state lives on the main thread, where busy flags keep one clipboard step, one outbox step and one file
// transfer at a time.
class SharingManager final : public QObject {
    Q_OBJECT
public:
    static constexpr double kClipPeriod = 0.75;
    static constexpr double kOutboxPeriod = 1.5;
    static constexpr std::size_t kMaxPictureBytes = 33554432;
    static constexpr std::size_t kMaxTextBytes = 8388608;

    SharingManager(Clock& clock, AppPool& pool, AgentClient agent = AgentClient(), QObject* parent = nullptr);
    ~SharingManager() override;

    bool available() const { return available_; }
    const std::optional<std::string>& unavailableReason() const { return unavailableReason_; }
    // The chosen folder, else Downloads.
    std::filesystem::path receiveFolder() const;
    bool transferBusy() const { return transferBusy_; }
    bool outboxBusy() const { return outboxBusy_; }
    // Outbox items taken and still listed by the box.
    std::size_t outboxItemsRemembered() const { return handledOutbox_.size(); }
    bool clipBusy() const { return clipBusy_; }

    void update(const std::optional<AgentClient::Info>& info, const StreamSettings& settings);
    void stop();

    // Lets the user pick files and folders to send; returns at once. One panel at a time.
    void chooseFilesToSend(QWidget* parent = nullptr);
    void send(const std::vector<std::filesystem::path>& files);
    void openInWindows(const QUrl& url);
    void sendText(const std::string& text);

    // The app's own process id while the stream window is open, and that window.
    void setStreamPID(std::optional<std::int32_t> pid);
    void setStreamWindow(QWidget* streamWindow);

    TransferHUD& hud() { return *hud_; }
    DropCatcher& catcher() { return *catcher_; }
    platform::Notifier& notifications() { return *notifications_; }
    platform::Pasteboard& pasteboard() { return *pasteboard_; }

Q_SIGNALS:
    void changed();

private:
    struct ClipItem {
        std::optional<std::string> text;
        std::optional<Bytes> png;
    };
    // A Windows picture as put on the clipboard: its bytes, and what they decoded to (null when nothing).
    struct Picture {
        QByteArray png;
        QImage image;
    };
    // What this computer's clipboard holds while its change count stays `at`: the item we last put there or
    // sent from there. A poll that brings back the same bytes writes nothing.
    struct Held {
        std::int64_t at = -1;
        std::shared_ptr<const std::string> text;
        QByteArray png;
    };
    // What of the clipboard goes to Windows: asked of a Pasteboard, or of a SelectionReader on the pool.
    template <class Board>
    static std::optional<ClipItem> readMacClipboard(Board& pasteboard);

    void start();
    static void sweepDownloads(const std::filesystem::path& folder);  // blocking
    QCoro::Task<> clipLoop(std::uint64_t generation);
    QCoro::Task<> outboxLoop(std::uint64_t generation);
    QCoro::Task<> clipTick();
    static void logPassedOver();
    QCoro::Task<> outboxTick();
    QCoro::Task<> receive(AgentClient::OutboxItem item);
    QCoro::Task<> sendFiles(std::vector<std::filesystem::path> files);
    QCoro::Task<> choose(QWidget* parent);
    void progressed(std::uint64_t transfer, double value);

    Clock& clock_;
    AppPool& pool_;
    AgentClient agent_;
    std::unique_ptr<TransferHUD> hud_;
    std::unique_ptr<DropCatcher> catcher_;
    std::unique_ptr<platform::Notifier> notifications_;
    std::unique_ptr<platform::Pasteboard> pasteboard_;

    bool available_ = false;
    std::optional<std::string> unavailableReason_ = "Connect the box to share files and the clipboard.";
    bool shareClipboard_ = true;
    std::string receiveFolderPath_;
    bool running_ = false;           // the two polls are on
    std::uint64_t pollGeneration_ = 0;  // ends the polls of an earlier start
    bool clipPrimed_ = false;
    bool clipBusy_ = false;
    std::int64_t lastMacChange_ = 0;
    std::uint32_t lastWinSeq_ = 0;
    Held held_;
    bool outboxBusy_ = false;
    bool transferBusy_ = false;
    std::set<std::string> handledOutbox_;
    std::string outboxFailure_;  // why the last list could not be read, once logged; empty after one is read
    std::optional<std::int32_t> streamPID_;
    std::uint64_t transfers_ = 0;        // numbers each file transfer
    std::uint64_t activeTransfer_ = 0;   // the one whose progress still counts; 0 when none
    QPointer<QFileDialog> panel_;
};

} // namespace corvane
