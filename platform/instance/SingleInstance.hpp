#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

namespace corvane::platform {

// One running app per user: the first launch listens on a socket in $XDG_RUNTIME_DIR; a later launch
// finds it there, asks it to show its main window and should exit. Main thread.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    // `name` is the socket's file name; its folder is $XDG_RUNTIME_DIR, else the temporary folder.
    explicit SingleInstance(QString name = "corvane.sock", QObject* parent = nullptr);

    // True when another instance answered and took the request (this one should exit); false when this
    // one is now the running instance.
    bool handOffToRunning();

    // Called in the running instance when a later launch asks to be shown.
    std::function<void()> onShowRequested;

    static QString socketPath(const QString& name);

private:
    QString path_;
    QLocalServer server_;
};

} // namespace corvane::platform
