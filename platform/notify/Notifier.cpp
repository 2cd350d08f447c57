#include "platform/notify/Notifier.hpp"

#include "platform/notify/Reveal.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>

namespace corvane::platform {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr int kCallMilliseconds = 5000;

} // namespace

Notifier::Notifier(QObject* parent) : QObject(parent) {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    bus.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(onActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, "NotificationClosed", this, SLOT(onClosed(uint, uint)));
}

void Notifier::post(const std::string& title, const std::string& body, const std::optional<std::filesystem::path>& reveal) {
    Pending notice{title, body, reveal};
    switch (server_) {
    case Server::present:
        send(notice);
        return;
    case Server::absent:
        return;
    case Server::asking:
        waiting_.push_back(std::move(notice));
        return;
    case Server::unknown:
        break;
    }
    waiting_.push_back(std::move(notice));
    auto bus = QDBusConnection::sessionBus();
    server_ = Server::asking;
    const auto giveUp = [this] {
        server_ = Server::absent;
        waiting_.clear();
        if (log) log("notifications: no notification server answers; notices are not shown");
    };
    if (!bus.isConnected()) {
        giveUp();
        return;
    }
    // GetCapabilities tells both that a server answers and whether it reads markup in bodies.
    auto ask = QDBusMessage::createMethodCall(kService, kPath, kInterface, "GetCapabilities");
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask, kCallMilliseconds), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, giveUp](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        QDBusPendingReply<QStringList> reply = *done;
        if (reply.isError()) {
            giveUp();
            return;
        }
        server_ = Server::present;
        markup_ = reply.value().contains("body-markup");
        auto queued = std::move(waiting_);
        waiting_.clear();
        for (const auto& notice : queued) send(notice);
    });
}

void Notifier::send(const Pending& notice) {
    auto body = QString::fromStdString(notice.body);
    // A server that reads markup would render names from the box as markup; they must show as typed.
    if (markup_) body = body.toHtmlEscaped();
    auto call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    call << QString("Corvane") << uint(0) << QString() << QString::fromStdString(notice.title) << body
         << QStringList{"default", "Show"} << QVariantMap() << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, kCallMilliseconds), this);
    const auto reveal = notice.reveal;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, reveal](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        QDBusPendingReply<uint> reply = *done;
        if (!reply.isError() && reveal) remember(reply.value(), *reveal);
    });
}

void Notifier::remember(std::uint32_t id, const std::filesystem::path& path) {
    if (!paths_.contains(id)) order_.push_back(id);
    paths_[id] = path;
    while (order_.size() > kRemembered) {
        paths_.erase(order_.front());
        order_.pop_front();
    }
}

void Notifier::onActionInvoked(uint id, const QString& action) {
    if (action != "default") return;
    const auto found = paths_.find(id);
    if (found == paths_.end()) return;
    Reveal::show(found->second);
}

void Notifier::onClosed(uint id, uint) {
    if (paths_.erase(id) == 0) return;
    order_.erase(std::remove(order_.begin(), order_.end(), id), order_.end());
}

} // namespace corvane::platform
