#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace corvane {

// SIGINT and SIGTERM end the app through QCoreApplication::quit, so the quit-time clean-up runs as for
// "Quit Corvane". The handler only writes a byte to a pipe; the event loop does the rest. One per process.
class QuitSignals final : public QObject {
    Q_OBJECT
public:
    QuitSignals();
    ~QuitSignals() override;

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace corvane
