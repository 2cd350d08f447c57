#include "platform/notify/Reveal.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QProcess>
#include <QString>
#include <QUrl>

namespace corvane::platform::Reveal {

namespace {

void openFolder(const std::filesystem::path& file) {
    const auto folder = QString::fromStdString(file.parent_path().string());
    QProcess::startDetached("xdg-open", {folder});
}

} // namespace

void show(const std::filesystem::path& file, std::function<void()> notShown) {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolder(file);
        if (notShown) notShown();
        return;
    }
    auto call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                               "org.freedesktop.FileManager1", "ShowItems");
    const auto uri = QUrl::fromLocalFile(QString::fromStdString(file.string())).toString(QUrl::FullyEncoded);
    call << QStringList{uri} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [file, notShown](QDBusPendingCallWatcher* done) {
        if (done->isError()) {
            openFolder(file);
            if (notShown) notShown();
        }
        done->deleteLater();
    });
}

} // namespace corvane::platform::Reveal
