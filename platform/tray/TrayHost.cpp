#include "platform/tray/TrayHost.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <string>

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

namespace corvane::platform {
namespace {

const QString kWatcher = "org.kde.StatusNotifierWatcher";
const QString kWatcherPath = "/StatusNotifierWatcher";
// A watcher answers at once; one that hangs must not hold the app for long.
constexpr int kReplyTimeoutMs = 1000;

} // namespace

struct TrayHost::X11 {
    Display* display = nullptr;
    int fixesEvent = 0;
    std::unique_ptr<QSocketNotifier> notifier;

    ~X11() {
        notifier.reset();
        if (display) XCloseDisplay(display);
    }
};

TrayHost::TrayHost(QObject* parent) : QObject(parent), x11_(std::make_unique<X11>()) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        auto* services = new QDBusServiceWatcher(kWatcher, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(services, &QDBusServiceWatcher::serviceOwnerChanged, this, &TrayHost::readNotifier);
        // A host (the panel that draws the items) can come and go while the watcher stays.
        bus.connect(kWatcher, kWatcherPath, kWatcher, "StatusNotifierHostRegistered", this, SLOT(readNotifier()));
        bus.connect(kWatcher, kWatcherPath, kWatcher, "StatusNotifierHostUnregistered", this, SLOT(readNotifier()));
        readNotifier();
    }

    if (QGuiApplication::platformName() != "xcb") return;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return;
    int error = 0;
    int major = 5;
    int minor = 0;
    // The server speaks XFixes to a client only after the client has said which version it knows.
    if (!XFixesQueryExtension(display, &x11_->fixesEvent, &error) || !XFixesQueryVersion(display, &major, &minor)) {
        XCloseDisplay(display);
        return;
    }
    x11_->display = display;
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display));
    const Atom selection = XInternAtom(display, name.c_str(), False);
    // A tray manager takes the selection when it starts; it is lost when the manager's window or
    // connection goes, whether or not it hands it over first.
    XFixesSelectSelectionInput(display, DefaultRootWindow(display), selection,
                               XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    update(watcher_, host_, XGetSelectionOwner(display, selection) != None);
    x11_->notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(display), QSocketNotifier::Read);
    connect(x11_->notifier.get(), &QSocketNotifier::activated, this, [this] { drainX(); });
    // Reports that came with the reply above wait in Xlib's queue, where the socket no longer shows them.
    drainX();
}

TrayHost::~TrayHost() = default;

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
    update(watcher, host, xTray_);
}

void TrayHost::drainX() {
    Display* display = x11_->display;
    bool owned = xTray_;
    // Each report says who holds the selection after it; the last one read is the state now.
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type != x11_->fixesEvent + XFixesSelectionNotify) continue;
        const auto* notice = reinterpret_cast<const XFixesSelectionNotifyEvent*>(&event);
        owned = notice->subtype == XFixesSetSelectionOwnerNotify && notice->owner != None;
    }
    update(watcher_, host_, owned);
}

void TrayHost::update(bool watcher, bool host, bool xTray) {
    if (watcher == watcher_ && host == host_ && xTray == xTray_) return;
    watcher_ = watcher, host_ = host, xTray_ = xTray;
    Q_EMIT changed();
}

} // namespace corvane::platform
