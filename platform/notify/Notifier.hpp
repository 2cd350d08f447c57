#pragma once

#include <QObject>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace corvane::platform {

// Desktop notifications through org.freedesktop.Notifications on the session bus, sent as "Corvane" with
// a "default" action: clicking a notice that names a file shows it in the file manager. There is nothing
// to authorize; the first post asks whether a notification server answers at all, and without one every
// notice is dropped with one log line. Main thread only.
class Notifier final : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t kRemembered = 64;  // notices whose click still reveals

    explicit Notifier(QObject* parent = nullptr);

    void post(const std::string& title, const std::string& body, const std::optional<std::filesystem::path>& reveal);

    // Where the one line about a missing server goes.
    std::function<void(const std::string&)> log;

private Q_SLOTS:
    void onActionInvoked(uint id, const QString& action);
    void onClosed(uint id, uint reason);

private:
    enum class Server { unknown, asking, present, absent };
    struct Pending {
        std::string title, body;
        std::optional<std::filesystem::path> reveal;
    };
    void send(const Pending& notice);
    void remember(std::uint32_t id, const std::filesystem::path& path);

    Server server_ = Server::unknown;
    bool markup_ = false;
    std::deque<Pending> waiting_;
    std::map<std::uint32_t, std::filesystem::path> paths_;
    std::deque<std::uint32_t> order_;
};

} // namespace corvane::platform
