#include "platform/instance/SingleInstance.hpp"

#include <QDir>
#include <QLocalSocket>

#include <unistd.h>

namespace corvane::platform {
namespace {

constexpr char kShow[] = "show\n";

} // namespace

QString SingleInstance::socketPath(const QString& name) {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists())
        return QDir::temp().filePath(QString("%1-%2").arg(getuid()).arg(name));
    return QDir(folder).filePath(name);
}

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), path_(socketPath(name)) {}

bool SingleInstance::handOffToRunning() {
    QLocalSocket socket;
    socket.connectToServer(path_);
    if (socket.waitForConnected(1000)) {
        socket.write(kShow);
        socket.waitForBytesWritten(1000);
        socket.disconnectFromServer();
        return true;
    }
    // Nobody answers: a socket file left by a crash is ours to replace.
    QLocalServer::removeServer(path_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(path_)) return false;
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = server_.nextPendingConnection()) {
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                // Only the one request exists; anything else is ignored.
                if (client->readAll().startsWith("show") && onShowRequested) onShowRequested();
                client->disconnectFromServer();
            });
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        }
    });
    return false;
}

} // namespace corvane::platform
