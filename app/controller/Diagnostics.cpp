#include "app/controller/Diagnostics.hpp"

#include "app/controller/BoxController.hpp"
#include "app/controller/ControllerWatcher.hpp"
#include "app/services/Folders.hpp"
#include "app/services/Log.hpp"
#include "app/services/OnPool.hpp"
#include "app/services/Shell.hpp"
#include "app/sharing/SharingManager.hpp"
#include "app/updates/AppInfo.hpp"
#include "app/updates/UpdateManager.hpp"
#include "engine/EngineLog.hpp"
#include "platform/login/LoginItem.hpp"
#include "platform/notify/Notifier.hpp"
#include "platform/notify/Reveal.hpp"
#include "platform/system/SystemInfo.hpp"

#include <QCoroSignal>
#include <QDateTime>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>

namespace corvane::Diagnostics {
namespace {

constexpr std::size_t kTailReadLimit = 1u << 20;

std::string flag(bool value) { return value ? "true" : "false"; }

std::string isoNow(Clock::WallTime now) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate).toStdString();
}

// The first thunderbolt interface the system lists, else "thunderbolt0".
std::string cableInterface() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net", error)) {
        const auto name = entry.path().filename().string();
        if (name.starts_with(NetworkLink::bridgeInterfacePrefix)) return name;
    }
    return std::string(NetworkLink::bridgeInterfacePrefix) + "0";
}

QCoro::Task<std::string> boxPart(BoxController& box) {
    if (!box.boxFound()) co_return "The box is not connected, so only this computer's details are included.";
    const std::optional<std::string> version = box.boxInfo() ? std::optional(box.boxInfo()->agentVersion) : std::nullopt;
    try {
        auto work = [](std::stop_token stop) { return AgentClient().diagnostics(stop); };
        co_return co_await onPool(box.pool(), std::move(work));
    } catch (const AgentClient::AgentError& error) {
        if (error.endpointMissing())
            co_return "The box software (" + version.value_or("old version") + ") is too old to report diagnostics.";
        co_return std::string("Could not read the box's diagnostics: ") + error.what();
    } catch (const std::exception& error) {
        co_return std::string("Could not read the box's diagnostics: ") + error.what();
    }
}

} // namespace

std::optional<std::string> tailPieces(const std::filesystem::path& file, int count) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    const std::size_t start = size > kTailReadLimit ? size - kTailReadLimit : 0;
    std::string text(size - start, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::pread(fd, text.data() + got, text.size() - got, static_cast<off_t>(start + got));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    std::size_t from = text.size();
    for (int pieces = 0; pieces < count; ++pieces) {
        const auto newline = from == 0 ? std::string::npos : text.rfind('\n', from - 1);
        if (newline == std::string::npos) {
            from = 0;
            break;
        }
        if (pieces + 1 == count) {
            from = newline + 1;
            break;
        }
        from = newline;
    }
    // A cut read starts inside a line: drop that partial piece.
    if (start > 0 && from == 0) {
        const auto newline = text.find('\n');
        from = newline == std::string::npos ? text.size() : newline + 1;
    }
    return text.substr(from);
}

QCoro::Task<std::string> report(BoxController& box) {
    std::vector<std::string> lines;
    lines.push_back("Corvane diagnostics, " + isoNow(box.clock().wallTime()));
    lines.push_back("");
    lines.push_back("===== This computer =====");
    lines.push_back("Model: " + platform::SystemInfo::model().value_or("unknown"));
    lines.push_back("Linux: " + platform::SystemInfo::osDescription());
    lines.push_back("Corvane: " + box.updates().currentVersion());
    lines.push_back("Streaming engine: built in, " + std::string(stream::CorvaneStream::version));
    lines.push_back("Status: " + box.phase().description());
    lines.push_back("Link: up=" + flag(box.linkUp()) + " boxFound=" + flag(box.boxFound()) + " paired=" + flag(box.paired()));
    lines.push_back("Thunderbolt address: " + box.cable().linkAddress().value_or("none"));
    std::string addresses;
    for (const auto& entry : NetworkLink::ipv4Addresses())
        addresses += (addresses.empty() ? "" : ", ") + entry.interface + "=" + entry.address;
    lines.push_back("IPv4 addresses: " + addresses);
    lines.push_back("Open at login: " + flag(platform::LoginItem::status(box.autostartConfigHome) ==
                                             platform::LoginItem::Status::enabled));
    std::string controllers;
    for (const auto& name : box.controllers().names()) controllers += (controllers.empty() ? "" : ", ") + name;
    lines.push_back("Controllers: " + (controllers.empty() ? std::string("none") : controllers));
    lines.push_back("Known box network addresses for wake: " + std::to_string(box.wakeMACs().size()));
    lines.push_back("Settings: " + box.settings().description());
    lines.push_back("");

    const std::string interface = cableInterface();
    lines.push_back("===== Thunderbolt Bridge (ip address show dev " + interface + ") =====");
    auto work2 = [interface](std::stop_token) {
        return Shell::run("/sbin/ip", {"address", "show", "dev", interface}, 5);
    };
    const auto shown = co_await onPool(box.pool(), std::move(work2));
    lines.push_back(shown.status == 0 ? shown.stdout : "not available: " + shown.stderr);
    lines.push_back("");
    lines.push_back("===== Corvane log (last 400 lines) =====");
    auto work3 = [](std::stop_token) { return Log::tail(400); };
    lines.push_back(co_await onPool(box.pool(), std::move(work3)));

    const std::string sourceDir = AppInfo::current().sourceDir;
    if (!sourceDir.empty()) {
        const auto buildLog = std::filesystem::path(sourceDir).lexically_normal();
        const auto file = (buildLog.has_filename() ? buildLog : buildLog.parent_path()).parent_path() / "build.log";
        auto work4 = [file](std::stop_token) { return tailPieces(file, 60); };
        const auto tail = co_await onPool(box.pool(), std::move(work4));
        if (tail) {
            lines.push_back("");
            lines.push_back("===== Last build (build.log, last 60 lines) =====");
            lines.push_back(*tail);
        }
    }
    lines.push_back("");
    lines.push_back("===== Box =====");
    lines.push_back(co_await boxPart(box));

    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
    co_return text;
}

namespace {

// The one save: from the request until its panel closes. Set before the report is built, so that a second
// request made meanwhile starts nothing.
struct Saving {
    bool building = false;
    QPointer<QFileDialog> panel;
};

Saving& saving() {
    static Saving state;
    return state;
}

QCoro::Task<> saveTask(BoxController& box, QPointer<QWidget> parent) {
    QPointer<BoxController> alive(&box);
    const std::string text = co_await report(box);
    saving().building = false;
    if (!alive) co_return;
    const QString name = "Corvane Diagnostics " + QDateTime::currentDateTime().toString("yyyy-MM-dd HHmm") + ".txt";
    QPointer<QFileDialog> panel = new QFileDialog(parent, "Save Diagnostics",
                                                  QString::fromStdString((Folders::desktop() / name.toStdString()).string()),
                                                  "Text (*.txt)");
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    panel->setAttribute(Qt::WA_DeleteOnClose, false);
    // The file as accepted: once the dialog closes, its selection may name the folder it shows instead.
    auto chosen = std::make_shared<QString>();
    QObject::connect(panel, &QFileDialog::fileSelected, panel, [chosen](const QString& file) { *chosen = file; });
    saving().panel = panel;
    panel->open();
    panel->raise();
    panel->activateWindow();
    const int result = co_await qCoro(panel.data(), &QDialog::finished);
    if (!panel) co_return;
    saving().panel = nullptr;
    panel->deleteLater();
    if (result != QDialog::Accepted || chosen->isEmpty()) co_return;
    const QString path = *chosen;
    QSaveFile out(path);
    const QByteArray bytes = QByteArray::fromStdString(text);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        auto* alert = new QMessageBox(QMessageBox::Warning, "Corvane", "The report could not be saved.",
                                      QMessageBox::Ok, parent);
        alert->setTextFormat(Qt::PlainText);
        alert->setInformativeText(out.errorString());
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->open();
        co_return;
    }
    Log::write("diagnostics saved to " + path.toStdString());
    // Without a file manager to point at it, a notice says where it went.
    platform::Reveal::show(path.toStdString(), [alive, file = path.toStdString()] {
        if (alive) alive->sharing().notifications().post("Diagnostics saved", "Saved to " + file + ".", file);
    });
}

} // namespace

void save(BoxController& box, QWidget* parent) {
    // One save at a time: a panel already shown is brought forward, one about to show is waited for.
    Saving& state = saving();
    if (state.panel) {
        state.panel->raise();
        state.panel->activateWindow();
        return;
    }
    if (state.building) return;
    state.building = true;
    saveTask(box, parent);
}

} // namespace corvane::Diagnostics
