#include "platform/tray/TrayHost.hpp"

#include "platform/selection/SelectionWatch.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusServiceWatcher>

namespace corvane::platform {
namespace {

const QString kWatcher = "org.kde.StatusNotifierWatcher";
const QString kWatcherPath = "/StatusNotifierWatcher";
// A watcher answers at once; one that hangs must not hold the app for long.
constexpr int kReplyTimeoutMs = 1000;

} // namespace

TrayHost::TrayHost(QObject* parent)
    : QObject(parent), xTray_(new SelectionWatch("_NET_SYSTEM_TRAY_S", true, this)) {
    connect(xTray_, &SelectionWatch::ownerChanged, this, &TrayHost::changed);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    auto* services = new QDBusServiceWatcher(kWatcher, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(services, &QDBusServiceWatcher::serviceOwnerChanged, this, &TrayHost::readNotifier);
    // A host (the panel that draws the items) can come and go while the watcher stays.
    bus.connect(kWatcher, kWatcherPath, kWatcher, "StatusNotifierHostRegistered", this, SLOT(readNotifier()));
    bus.connect(kWatcher, kWatcherPath, kWatcher, "StatusNotifierHostUnregistered", this, SLOT(readNotifier()));
    readNotifier();
}

TrayHost::~TrayHost() = default;

bool TrayHost::xTray() const { return xTray_->owned(); }

void TrayHost::readNotifier() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QDBusReply<bool> registered = bus.interface()->isServiceRegistered(kWatcher);
    const bool watcher = registered.isValid() && registered.value();
    bool host = false;
    if (watcher) {
        QDBusMessage get = QDBusMessage::createMethodCall(kWatcher, kWatcherPath, "org.freedesktop.DBus.Properties", "Get");
        get << kWatcher << QString("IsStatusNotifierHostRegistered");
        const QDBusReply<QVariant> reply = bus.call(get, QDBus::Block, kReplyTimeoutMs);
        host = reply.isValid() && reply.value().toBool();
    }
    if (watcher == watcher_ && host == host_) return;
    watcher_ = watcher, host_ = host;
    Q_EMIT changed();
}

} // namespace corvane::platform
