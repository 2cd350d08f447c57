#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace corvane {

// SIGINT and SIGTERM end the app the way "Quit Corvane" does, through `quit`. The handler only writes a
// byte to a pipe; the event loop does the rest. One per process.
class QuitSignals final : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(std::function<void()> quit);
    ~QuitSignals() override;

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace corvane
