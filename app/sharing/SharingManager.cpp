#include "app/sharing/SharingManager.hpp"

#include "engine/Text.hpp"

#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/Folders.hpp"
#include "app/services/Log.hpp"
#include "app/services/StaleFiles.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/services/agent/Downloader.hpp"
#include "app/services/agent/Uploader.hpp"
#include "app/sharing/ReceivePlan.hpp"
#include "app/sharing/SendPlan.hpp"
#include "platform/notify/Notifier.hpp"
#include "platform/pasteboard/Pasteboard.hpp"
#include "platform/pasteboard/SelectionReader.hpp"

#include <QByteArray>
#include <QCoroFuture>
#include <QCoroSignal>
#include <QFileDialog>
#include <QScopeGuard>
#include <QtConcurrent>

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>

namespace corvane {

namespace fs = std::filesystem;

namespace {

// What a call on the pool gave: its value, or the error's description.
template <class T>
struct Outcome {
    std::optional<T> value;
    std::string error;
};

// (Awaited as named futures: gcc 12 destroys some temporaries of a co_await expression twice.)
template <class F>
auto offMain(AppPool& pool, F f) {
    using R0 = std::invoke_result_t<F>;
    using R = std::conditional_t<std::is_void_v<R0>, bool, R0>;
    return QtConcurrent::run(pool.threads(), [f = std::move(f)]() -> Outcome<R> {
        try {
            if constexpr (std::is_void_v<R0>) {
                f();
                return {true, {}};
            } else {
                return {f(), {}};
            }
        } catch (const std::exception& error) {
            return {std::nullopt, error.what()};
        }
    });
}

// Box and file-system texts go into the log on one line and within bounds.
std::string logged(const std::string& text) { return stream::text::forLog(text, 1000); }

// No file mode takes files and folders together: in ExistingFiles mode a chosen folder would be opened
// instead of taken, so the send button takes whatever is selected as it is.
class SendPanel final : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

protected:
    void accept() override {
        const auto chosen = selectedFiles();
        const bool allThere = !chosen.isEmpty() && std::all_of(chosen.begin(), chosen.end(), [](const QString& path) {
            std::error_code ec;
            return fs::exists(fs::path(path.toStdString()), ec);
        });
        if (!allThere) {
            QFileDialog::accept();
            return;
        }
        Q_EMIT filesSelected(chosen);
        QDialog::accept();
    }
};

// The newest progress of a transfer, reported on its pool thread and shown on the main thread. At most one
// hop waits in the main thread's queue at a time: a fast transfer reports far more often than the pill can
// show, and each hop costs the event loop.
class ProgressPost final : public std::enable_shared_from_this<ProgressPost> {
public:
    explicit ProgressPost(std::function<void(double)> show) : show(std::move(show)) {}
    // Any thread.
    void put(double value) {
        latest.store(value);
        if (waiting.exchange(true)) return;  // the hop already waiting will read this value
        QMetaObject::invokeMethod(QCoreApplication::instance(), [keep = shared_from_this()] {
            keep->waiting.store(false);
            keep->show(keep->latest.load());
        }, Qt::QueuedConnection);
    }

private:
    const std::function<void(double)> show;  // on the main thread
    std::atomic<double> latest{0};
    std::atomic<bool> waiting{false};
};

} // namespace

SharingManager::SharingManager(Clock& clock, AppPool& pool, AgentClient agent, QObject* parent)
    : QObject(parent),
      clock_(clock),
      pool_(pool),
      agent_(std::move(agent)),
      hud_(std::make_unique<TransferHUD>(clock)),
      catcher_(std::make_unique<DropCatcher>(clock)),
      notifications_(std::make_unique<platform::Notifier>()),
      pasteboard_(std::make_unique<platform::Pasteboard>()) {
    notifications_->log = [](const std::string& line) { Log::write(line); };
    QPointer<SharingManager> self(this);
    catcher_->onDrop = [self](const DropCatcher::Drop& drop) {
        if (!self) return;
        switch (drop.kind) {
        case DropCatcher::Drop::Kind::files: self->send(drop.files); break;
        case DropCatcher::Drop::Kind::link: self->openInWindows(drop.link); break;
        case DropCatcher::Drop::Kind::text: self->sendText(drop.text); break;
        }
    };
}

SharingManager::~SharingManager() {
    ++pollGeneration_;
    delete panel_.data();
}

fs::path SharingManager::receiveFolder() const {
    fs::path folder = receiveFolderPath_.empty() ? Folders::downloads() : fs::path(receiveFolderPath_);
    folder = folder.lexically_normal();
    if (!folder.has_filename() && folder.has_parent_path() && folder != folder.root_path()) folder = folder.parent_path();
    return folder;
}

void SharingManager::update(const std::optional<AgentClient::Info>& info, const StreamSettings& settings) {
    shareClipboard_ = settings.shareClipboard;
    receiveFolderPath_ = settings.receiveFolder;
    bool available = false;
    std::optional<std::string> reason;
    if (!info) {
        reason = "Connect the box to share files and the clipboard.";
    } else if (!info->sharing) {
        reason = "Update the box software to 0.3.0 or newer (Settings > Updates) to share files and the clipboard.";
    } else {
        available = info->sharing->available;
        reason = info->sharing->reason;
        if (!reason && !available) reason = "Sign in to Windows on the box to share files and the clipboard.";
    }
    unavailableReason_ = reason;
    catcher_->enabled = available && settings.dropToWindows;
    if (available != available_) {
        available_ = available;
        if (available) start();
        else stop();
    }
    Q_EMIT changed();
}

// Downloads a killed run left in the receive folder: removed when sharing comes on and before each receive.
void SharingManager::sweepDownloads(const fs::path& folder) {
    if (const int removed = StaleFiles::sweep(folder, Downloader::isTemporaryName))
        Log::write("receive from Windows: removed " + std::to_string(removed) + " unfinished download(s) of earlier runs");
}

void SharingManager::start() {
    Log::write("sharing: on");
    offMain(pool_, [folder = receiveFolder()] { sweepDownloads(folder); });
    clipPrimed_ = false;
    running_ = true;
    const auto generation = ++pollGeneration_;
    clipLoop(generation);
    outboxLoop(generation);
    catcher_->start();
}

void SharingManager::stop() {
    if (running_) Log::write("sharing: off");
    running_ = false;
    ++pollGeneration_;
    catcher_->stop();
}

// Each period starts a tick of its own, so a slow box stretches nothing; the busy flags keep ticks apart.
QCoro::Task<> SharingManager::clipLoop(std::uint64_t generation) {
    QPointer<SharingManager> self(this);
    Clock& clock = clock_;
    for (;;) {
        co_await clock.sleep(kClipPeriod);
        if (!self || self->pollGeneration_ != generation) co_return;
        self->clipTick();
    }
}

QCoro::Task<> SharingManager::outboxLoop(std::uint64_t generation) {
    QPointer<SharingManager> self(this);
    Clock& clock = clock_;
    for (;;) {
        co_await clock.sleep(kOutboxPeriod);
        if (!self || self->pollGeneration_ != generation) co_return;
        self->outboxTick();
    }
}

template <class Board>
std::optional<SharingManager::ClipItem> SharingManager::readMacClipboard(Board& pasteboard) {
    if (pasteboard.concealed() || pasteboard.hasFiles()) return std::nullopt;
    if (auto png = pasteboard.png(kMaxPictureBytes)) return ClipItem{std::nullopt, std::move(*png)};
    if (auto png = pasteboard.otherImageAsPNG(kMaxPictureBytes)) return ClipItem{std::nullopt, std::move(*png)};
    auto text = pasteboard.string(kMaxTextBytes);
    if (text && !text->empty()) return ClipItem{std::move(*text), std::nullopt};
    return std::nullopt;
}

QCoro::Task<> SharingManager::clipTick() {
    if (!available_ || !shareClipboard_ || clipBusy_) co_return;
    clipBusy_ = true;
    QPointer<SharingManager> self(this);
    const auto release = qScopeGuard([self] {
        if (self) self->clipBusy_ = false;
    });
    const auto agent = agent_;
    const auto stop = pool_.token();
    const auto count = pasteboard_->changeCount();

    if (!clipPrimed_) {
        lastMacChange_ = count;
        auto priming = offMain(pool_, [agent, stop] { return agent.clipboard(0, stop); });
        auto primed = co_await priming;
        if (!self || !primed.value) co_return;
        lastWinSeq_ = *primed.value ? (*primed.value)->seq : 0;
        if (*primed.value && (*primed.value)->tooLarge) logPassedOver();
        clipPrimed_ = true;
        co_return;
    }

    if (count != lastMacChange_) {
        lastMacChange_ = count;
        held_ = {};  // what we knew of the clipboard has gone from it
        // On X11 the owner is asked from the pool through a connection of its own: a large copy or a slow owner
        // never holds up the main thread. Elsewhere it is read here.
        std::shared_ptr<platform::SelectionReader> reader = pasteboard_->reader(stop);
        std::optional<ClipItem> read;
        if (!reader) read = readMacClipboard(*pasteboard_);
        if (reader || read) {
            struct Sent {
                std::uint32_t seq = 0;
                Held held;
            };
            auto sending = offMain(pool_, [agent, stop, reader, read, count]() -> std::optional<Sent> {
                auto item = reader ? readMacClipboard(*reader) : read;
                if (!item) return std::nullopt;
                Sent sent{agent.setClipboard(item->text, item->png, stop), {count, {}, {}}};
                if (item->text) sent.held.text = std::make_shared<const std::string>(std::move(*item->text));
                if (item->png)
                    sent.held.png = QByteArray(reinterpret_cast<const char*>(item->png->data()), qsizetype(item->png->size()));
                return sent;
            });
            auto sent = co_await sending;
            if (!self) co_return;
            if (!sent.value) {
                Log::write("clipboard to Windows failed: " + logged(sent.error));
            } else if (*sent.value) {
                lastWinSeq_ = (*sent.value)->seq;
                held_ = std::move((*sent.value)->held);
            }
        }
    }

    // A copy the user makes while the poll is out must win over what Windows had.
    const auto before = pasteboard_->changeCount();
    // The item is unpacked on the pool: a picture decoded, and only when its bytes differ from what the
    // clipboard holds; a box that hands back the same item on every poll (it ignores "since") then costs the
    // main thread no write, and a large text is not copied on it.
    struct Polled {
        std::optional<AgentClient::Clip> clip;  // its text or picture moved out to the fields below
        std::shared_ptr<const std::string> text;
        Picture picture;
        std::size_t notPicture = 0;  // the bytes of a "png" item that did not decode as a picture
        QSize oversize;              // the size of a picture left out for it
    };
    auto polling = offMain(pool_, [agent, stop, since = lastWinSeq_, held = held_.at == before ? held_ : Held{}] {
        Polled out;
        out.clip = agent.clipboard(since, stop);
        if (!out.clip) return out;
        auto& clip = *out.clip;
        if (clip.type == "text" && clip.text && !clip.text->empty()) {
            if (!held.text || *held.text != *clip.text) out.text = std::make_shared<const std::string>(std::move(*clip.text));
        } else if (clip.type == "png" && clip.png) {
            // One form of the picture at a time: its Base64 text, read in place, goes before it is decoded.
            const auto decoded = [&] {
                const auto base64 = QByteArray::fromRawData(clip.png->data(), qsizetype(clip.png->size()));
                return QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
            }();
            clip.png.reset();
            if (decoded && !decoded.decoded.isEmpty() && decoded.decoded != held.png) {
                // Only a picture is offered as one: other programs decode what they paste with less care.
                auto picture = platform::Pasteboard::decodedPNG(decoded.decoded);
                if (picture.oversize.isValid()) out.oversize = picture.oversize;
                else if (picture.image.isNull()) out.notPicture = std::size_t(decoded.decoded.size());
                else out.picture = {decoded.decoded, std::move(picture.image)};
            }
        }
        clip.text.reset();
        clip.png.reset();
        return out;
    });
    auto polled = co_await polling;
    if (!self || !polled.value || !polled.value->clip) co_return;
    const auto& got = *polled.value;
    lastWinSeq_ = got.clip->seq;
    if (got.clip->tooLarge) logPassedOver();
    if (got.notPicture)
        Log::write("clipboard from Windows: left out a picture of " + std::to_string(got.notPicture) +
                   " bytes that does not decode");
    if (got.oversize.isValid())
        Log::write("clipboard from Windows: left out a picture of " + std::to_string(got.oversize.width()) + " x " +
                   std::to_string(got.oversize.height()) + " pixels, larger than " +
                   std::to_string(platform::Pasteboard::kMaxPicturePixels >> 20) + " megapixels at 8 bits a channel");
    if (pasteboard_->changeCount() != before) co_return;
    if (got.text) {
        pasteboard_->setString(*got.text);
        held_ = {0, got.text, {}};
    } else if (!got.picture.png.isEmpty()) {
        pasteboard_->setPNG(got.picture.png, got.picture.image);
        held_ = {0, {}, got.picture.png};
    }
    lastMacChange_ = pasteboard_->changeCount();
    if (got.text || !got.picture.png.isEmpty()) held_.at = lastMacChange_;
}

// Each item too large is seen once: the next poll asks for what came after it.
void SharingManager::logPassedOver() {
    Log::write("clipboard from Windows: left out an item larger than " +
               std::to_string(AgentClient::kMaxClipboardReplyBytes) + " bytes");
}

QCoro::Task<> SharingManager::outboxTick() {
    if (!available_ || outboxBusy_ || transferBusy_) co_return;
    outboxBusy_ = true;
    QPointer<SharingManager> self(this);
    const auto release = qScopeGuard([self] {
        if (self) self->outboxBusy_ = false;
    });
    const auto agent = agent_;
    const auto stop = pool_.token();
    auto listing = offMain(pool_, [agent, stop] { return agent.outbox(stop); });
    auto listed = co_await listing;
    if (!self) co_return;
    if (!listed.value) {
        // The next tick asks again; a list that keeps failing is told once, not every 1.5 s.
        if (listed.error != outboxFailure_)
            Log::write("receive from Windows: could not read the outbox: " + logged(listed.error));
        outboxFailure_ = listed.error;
        co_return;
    }
    outboxFailure_.clear();
    // An item the box no longer lists is never listed again: only the ones still listed are remembered.
    std::erase_if(handledOutbox_, [&](const std::string& id) {
        return std::none_of(listed.value->begin(), listed.value->end(), [&](const auto& item) { return item.id == id; });
    });
    for (auto& item : *listed.value) {
        if (handledOutbox_.contains(item.id)) continue;
        // A send accepted while the list was out runs now; this item waits for the next tick.
        if (transferBusy_) co_return;
        handledOutbox_.insert(item.id);
        if (item.files.empty() && (!item.dirs || item.dirs->empty())) {
            // Nothing to save, so nothing is reported saved; the box is told the item is done with.
            Log::write("receive from Windows: item " + logged(item.id) + " holds no files, marked done");
            auto telling = offMain(pool_, [agent, stop, id = item.id] { agent.outboxDone(id, stop); });
            co_await telling;
            co_return;
        }
        auto receiving = receive(std::move(item));
        co_await receiving;
        co_return;
    }
}

void SharingManager::progressed(std::uint64_t transfer, double value) {
    if (transfer != activeTransfer_) return;  // a report that arrives after its transfer ended
    hud_->setProgress(value);
}

QCoro::Task<> SharingManager::receive(AgentClient::OutboxItem given) {
    transferBusy_ = true;
    const auto transfer = activeTransfer_ = ++transfers_;
    QPointer<SharingManager> self(this);
    const auto folder = receiveFolder();
    const auto fail = [self](const std::string& description, std::vector<std::string> names = {}) {
        if (!self) return;
        self->activeTransfer_ = 0;
        self->hud_->finish("Could not receive from Windows: " + description, true, std::move(names));
        Log::write("receive from Windows failed: " + logged(description));
        self->transferBusy_ = false;
    };

    // Everything that touches the disk runs on the pool: an item of many folders never stalls the main thread.
    const auto item = std::make_shared<const AgentClient::OutboxItem>(std::move(given));
    struct Planned {
        ReceivePlan plan;
        std::vector<std::string> leftOut;
    };
    auto planning = offMain(pool_, [item, folder] {
        std::error_code ignored;
        fs::create_directories(folder, ignored);
        sweepDownloads(folder);
        auto plan = ReceivePlan::make(*item, folder);
        auto leftOut = plan.leftOut(*item);
        return Planned{std::move(plan), std::move(leftOut)};
    });
    auto planned = co_await planning;
    if (!self) co_return;
    if (!planned.value) {
        fail(planned.error);
        co_return;
    }
    ReceivePlan plan = std::move(planned.value->plan);

    hud_->show("Receiving " + plan.what + " from Windows", 0.0, {plan.what});
    Log::write("receive from Windows: " + std::to_string(item->files.size()) + " file(s), " +
               std::to_string(item->totalBytes) + " bytes");

    auto making = offMain(pool_, [item, plan] {
        auto withFolders = plan;
        withFolders.makeFolders(item->dirs.value_or(std::vector<std::string>{}));
        return withFolders;
    });
    auto made = co_await making;
    if (!self) co_return;
    if (!made.value) {
        fail(made.error);
        co_return;
    }
    plan = std::move(*made.value);

    const auto agent = agent_;
    const auto stop = pool_.token();
    const auto post = std::make_shared<ProgressPost>([self, transfer](double value) {
        if (self) self->progressed(transfer, value);
    });
    std::int64_t done = 0;
    for (const auto& file : item->files) {
        const auto dest = plan.destination(file.path);
        if (!dest) continue;
        const auto report = [post, total = plan.total, done, size = file.size](std::optional<double> fraction) {
            post->put(ReceivePlan::progress(total, done, fraction.value_or(0), size));
        };
        auto downloading = offMain(pool_, [agent, stop, id = item->id, path = file.path, to = *dest, report,
                                               size = file.size, folder] {
            std::error_code error;
            fs::create_directories(to.parent_path(), error);
            if (error) throw Error(error.message());
            auto request = agent.userURL({"outbox", id, "file"}, {{"path", path}});
            request.idleTimeoutSeconds = 60;
            // The body waits in the receive folder itself, where a later sweep finds what a kill left.
            return Downloader::downloadDirect(std::move(request), to, report, stop, size, agent.transport(), folder);
        });
        auto placed = co_await downloading;
        if (!self) co_return;
        if (!placed.value) {
            fail(placed.error);
            co_return;
        }
        // A file at the top keeps the name the downloader found free; the notice reveals that one.
        const auto split = ReceivePlan::parts(file.path);
        if (split.size() == 1 && !plan.folderTops.contains(split.front()))
            plan.macNames[split.front()] = placed.value->filename().string();
        done = ReceivePlan::saturatingAdd(done, file.size);
        // The transfer's own last report may not have come, or still be on its way: the bar reaches the end
        // of each file before the next begins, and of the last before the result replaces it.
        progressed(transfer, ReceivePlan::progress(plan.total, done, 0, 0));
    }
    // What could not be written is no success: the box keeps the item.
    const auto& leftOut = planned.value->leftOut;
    for (std::size_t i = 0; i < std::min<std::size_t>(leftOut.size(), 20); ++i)
        Log::write("receive from Windows: left out " + logged(leftOut[i]));
    if (!leftOut.empty()) {
        fail(ReceivePlan::describeLeftOut(leftOut), {ReceivePlan::leftOutName(leftOut)});
        co_return;
    }

    auto telling = offMain(pool_, [agent, stop, id = item->id] { agent.outboxDone(id, stop); });
    co_await telling;
    if (!self) co_return;

    std::optional<fs::path> reveal;
    if (!plan.topNames.empty()) reveal = folder / plan.macNames[plan.topNames.front()];
    activeTransfer_ = 0;
    const auto saved = plan.saved();
    hud_->finish(saved.pill, false, {plan.what, folder.filename().string()});
    notifications_->post(saved.noticeTitle, saved.noticeBody, reveal);
    Log::write("receive from Windows: saved to " + folder.string());
    transferBusy_ = false;
}

void SharingManager::send(const std::vector<fs::path>& files) {
    if (!available_) {
        hud_->finish(unavailableReason_.value_or("Sharing is not available right now."), true);
        return;
    }
    if (transferBusy_) {
        hud_->finish("Another transfer is still running. Try again when it finishes.", true);
        return;
    }
    transferBusy_ = true;  // taken now, so a second send right behind this one is refused
    sendFiles(files);
}

QCoro::Task<> SharingManager::sendFiles(std::vector<fs::path> files) {
    const auto transfer = activeTransfer_ = ++transfers_;
    QPointer<SharingManager> self(this);
    const auto fail = [self](const std::string& description, std::vector<std::string> names = {}) {
        if (!self) return;
        self->activeTransfer_ = 0;
        self->hud_->finish("Could not copy to Windows: " + description, true, std::move(names));
        Log::write("send to Windows failed: " + logged(description));
        self->transferBusy_ = false;
    };

    // The walk reads the disk: off the main thread.
    auto walking = offMain(pool_, [files] { return SendPlan::make(files); });
    auto made = co_await walking;
    if (!self) co_return;
    if (!made.value) {
        fail(made.error);
        co_return;
    }
    const SendPlan plan = std::move(*made.value);
    for (const auto& left : plan.leftOut)
        Log::write("send to Windows: left out " + logged(left.rel) + " (" + SendPlan::reason(left.why) + ")");
    if (plan.names.empty()) {
        if (plan.leftOut.empty()) {
            activeTransfer_ = 0;
            transferBusy_ = false;
            co_return;
        }
        fail(plan.describeLeftOut(), {plan.leftOutName()});
        co_return;
    }

    const auto what = plan.what();
    hud_->show("Copying " + what + " to Windows", 0.0, {what});
    Log::write("send to Windows: " + std::to_string(plan.names.size()) + " item(s), " +
               std::to_string(plan.entries.size()) + " file(s), " + std::to_string(plan.total) + " bytes");

    const auto agent = agent_;
    const auto stop = pool_.token();
    auto beginning = offMain(pool_, [agent, stop, names = plan.names] { return agent.dropBegin(names, stop); });
    auto begun = co_await beginning;
    if (!self) co_return;
    if (!begun.value) {
        fail(begun.error);
        co_return;
    }
    const auto id = begun.value->id;
    const auto dest = begun.value->dest;

    for (const auto& folder : plan.folders) {
        auto making = offMain(pool_, [agent, stop, id, folder] {
            auto request = agent.userURL({"drop", id, "dir"}, {{"path", folder}});
            request.method = "POST";
            agent.send(std::move(request), 15, stop);
        });
        auto made = co_await making;
        if (!self) co_return;
        if (!made.value) {
            fail(made.error);
            co_return;
        }
    }

    const auto post = std::make_shared<ProgressPost>([self, transfer](double value) {
        if (self) self->progressed(transfer, value);
    });
    std::int64_t done = 0;
    const double total = static_cast<double>(plan.total);
    for (const auto& entry : plan.entries) {
        const auto report = [post, done, total](std::int64_t sent) {
            post->put(std::clamp((static_cast<double>(done) + static_cast<double>(std::max<std::int64_t>(sent, 0))) / total, 0.0, 1.0));
        };
        auto uploading = offMain(pool_, [agent, stop, id, entry, report] {
            auto request = agent.userURL({"drop", id, "file"}, {{"path", entry.rel}});
            request.method = "PUT";
            request.idleTimeoutSeconds = 60;
            request.headers.emplace_back("Content-Type", "application/octet-stream");
            Uploader::upload(std::move(request), entry.path, report, stop, agent.transport());
        });
        auto sent = co_await uploading;
        if (!self) co_return;
        if (!sent.value) {
            fail(sent.error);
            co_return;
        }
        done = ReceivePlan::saturatingAdd(done, entry.size);
        progressed(transfer, std::clamp(static_cast<double>(done) / total, 0.0, 1.0));  // as a receive does
    }

    auto finishing = offMain(pool_, [agent, stop, id] { agent.dropFinish(id, stop); });
    auto finished = co_await finishing;
    if (!self) co_return;
    if (!finished.value) {
        fail(finished.error);
        co_return;
    }

    activeTransfer_ = 0;
    // What went is reported as copied; what stayed here is named, and the pill shows a warning.
    const auto into = SendPlan::folderName(dest);
    const auto copied = "Copied " + what + " to " + into + " on Windows";
    if (plan.leftOut.empty()) hud_->finish(copied, false, {what, into});
    else hud_->finish(copied + ", but " + plan.describeLeftOut(), true, {what, into, plan.leftOutName()});
    Log::write("send to Windows: done (" + logged(dest) + ")");
    transferBusy_ = false;
}

void SharingManager::openInWindows(const QUrl& url) {
    if (!available_) return;
    [](QPointer<SharingManager> self, AgentClient agent, std::stop_token stop, std::string link) -> QCoro::Task<> {
        auto opening = offMain(self->pool_, [agent, stop, link] { agent.openURL(link, stop); });
        auto opened = co_await opening;
        if (!self) co_return;
        if (opened.value) self->hud_->finish("Opened the link in Windows", false);
        else self->hud_->finish("Could not open the link: " + opened.error, true);
    }(this, agent_, pool_.token(), url.toString(QUrl::FullyEncoded).toStdString());
}

void SharingManager::sendText(const std::string& text) {
    if (!available_) return;
    [](QPointer<SharingManager> self, AgentClient agent, std::stop_token stop, std::string text) -> QCoro::Task<> {
        auto setting = offMain(self->pool_, [agent, stop, text] { return agent.setClipboard(text, std::nullopt, stop); });
        auto set = co_await setting;
        if (!self) co_return;
        if (set.value) {
            self->lastWinSeq_ = *set.value;
            self->hud_->finish("Text copied to the Windows clipboard. Press Ctrl + V to paste.", false);
        } else {
            self->hud_->finish("Could not send the text: " + set.error, true);
        }
    }(this, agent_, pool_.token(), text);
}

void SharingManager::chooseFilesToSend(QWidget* parent) {
    if (panel_) {
        panel_->raise();
        panel_->activateWindow();
        return;
    }
    choose(parent);
}

QCoro::Task<> SharingManager::choose(QWidget* parent) {
    QPointer<SharingManager> self(this);
    QPointer<QFileDialog> panel = new SendPanel(parent, QString(), QString::fromStdString(Folders::home().string()));
    panel_ = panel;
    panel->setFileMode(QFileDialog::ExistingFiles);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setLabelText(QFileDialog::Accept, "Send to Windows");
    panel->setWindowTitle("Choose files or folders to copy to Windows.");
    panel->open();
    panel->raise();
    panel->activateWindow();
    // The answer comes through a queued call, so the panel must still be there then: it is deleted here.
    auto answered = qCoro(panel.data(), &QDialog::finished);
    const int result = co_await answered;
    if (!panel) co_return;
    const auto files = panel->selectedFiles();
    panel->deleteLater();
    if (!self || result != QDialog::Accepted) co_return;
    std::vector<fs::path> chosen;
    for (const auto& file : files) chosen.push_back(file.toStdString());
    if (!chosen.empty()) self->send(chosen);
}

void SharingManager::setStreamPID(std::optional<std::int32_t> pid) {
    streamPID_ = pid;
    hud_->streamPID = pid;
    catcher_->streamPID = pid;
}

void SharingManager::setStreamWindow(QWidget* streamWindow) {
    catcher_->setStreamWindow(streamWindow);
}

} // namespace corvane
