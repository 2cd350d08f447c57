#pragma once

#include "engine/host/HostApp.hpp"
#include "engine/host/HostConnection.hpp"
#include "engine/host/ServerInfo.hpp"
#include "engine/pairing/Pairing.hpp"
#include "engine/pairing/identity/ClientIdentity.hpp"
#include "engine/session/SessionKeys.hpp"
#include "engine/session/StreamConfig.hpp"
#include "platform/core/Bytes.hpp"
#include "platform/defaults/UserDefaults.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace corvane::stream {

// The engine's handle on one box's streaming host: pairing state and pairing, server information, the
// application list, launch or resume, cancel. The box certificates saved at pairing live in the user
// defaults; every paired request goes over HTTPS pinned to the saved certificate with this computer's
// client certificate. Safe to call from several threads at once; requests block and honour `stop`.
class BoxHost final {
public:
    enum class PairState { paired, notPaired, unknown };

    struct SessionStart {
        std::string sessionURL;
        bool encryptedRTSP() const;  // "rtspenc://"
        int rtspPort() const;        // 48010 when the URL names none (or no usable one)
        bool operator==(const SessionStart&) const = default;
    };

    // `transport` carries every request to the box; empty: libcurl.
    BoxHost(std::string address, int httpPort, ClientIdentityStore identityStore,
            std::shared_ptr<platform::UserDefaults> defaults, platform::Http::Transport transport = {});
    BoxHost(const BoxHost&) = delete;
    BoxHost& operator=(const BoxHost&) = delete;

    std::optional<Bytes> savedServerCertificate(const std::string& uniqueID) const;

    ServerInfo publicServerInfo(std::stop_token stop = {});
    std::optional<ServerInfo> pairedServerInfo(std::stop_token stop = {});
    PairState pairState(std::stop_token stop = {});
    void pair(const std::string& deviceName, Pairing::Approve approve, std::stop_token stop = {});
    std::vector<HostApp> appList(std::stop_token stop = {});
    SessionStart start(std::int64_t appID, const StreamConfig& config, const SessionKeys& keys, bool resume,
                       std::stop_token stop = {});
    void cancel(std::stop_token stop = {});
    bool unpair(std::stop_token stop = {});
    void forget();

    const std::string address;
    const int httpPort;
    const ClientIdentityStore identityStore;
    const platform::Http::Transport transport;

private:
    struct Paired {
        std::shared_ptr<HostConnection> connection;
        ClientIdentity identity;
    };

    std::string recordKey() const;
    void saveServerCertificate(const Bytes& certificate, const std::string& uniqueID);
    std::shared_ptr<HostConnection> makeConnection(std::optional<Bytes> serverCert, const ServerInfo& info);
    Paired pairedConnection(std::stop_token stop);

    std::shared_ptr<platform::UserDefaults> defaults_;
    std::mutex lock_;
    std::shared_ptr<HostConnection> connection_;  // the latest one made for a paired or pairing request
};

} // namespace corvane::stream
