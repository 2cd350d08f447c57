#include "engine/BoxHost.hpp"

#include "engine/EngineLog.hpp"
#include "engine/Text.hpp"
#include "engine/Uuid.hpp"
#include "engine/host/HostError.hpp"
#include "engine/host/HostReply.hpp"
#include "engine/pairing/identity/Hex.hpp"
#include "platform/crypto/Crypto.hpp"
#include "platform/http/Url.hpp"

#include <chrono>
#include <cstdio>

namespace corvane::stream {
namespace {

constexpr int kPublicHttpsPort = 47984;
constexpr int kDefaultRtspPort = 48010;

// Uniform in 0-9999: rejection sampling keeps the last partial range of 32-bit values out.
std::string randomPIN() {
    constexpr std::uint32_t kLimit = 4294960000u;  // largest multiple of 10000 below 2^32
    for (;;) {
        const Bytes b = platform::Crypto::randomBytes(4);
        const std::uint32_t v = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                                std::uint32_t(b[3]) << 24;
        if (v >= kLimit) continue;
        char text[8];
        std::snprintf(text, sizeof text, "%04u", v % 10000);
        return text;
    }
}

QueryItems clientQuery(const ClientIdentity& identity) {
    return {{"uniqueid", identity.uniqueID()}, {"uuid", randomUUIDString()}};
}

std::int64_t surroundAudioInfo(std::int64_t channels) {
    if (channels == 6) return 0x3F0006;
    if (channels == 8) return 0x63F0008;
    return 0x30000 + channels;
}

} // namespace

bool BoxHost::SessionStart::encryptedRTSP() const { return sessionURL.starts_with("rtspenc://"); }

int BoxHost::SessionStart::rtspPort() const { return platform::Url::port(sessionURL).value_or(kDefaultRtspPort); }

BoxHost::BoxHost(std::string address, int httpPort, ClientIdentityStore identityStore,
                 std::shared_ptr<platform::UserDefaults> defaults, platform::Http::Transport transport)
    : address(std::move(address)), httpPort(httpPort), identityStore(std::move(identityStore)),
      transport(std::move(transport)), defaults_(std::move(defaults)) {}

std::string BoxHost::recordKey() const { return "CorvaneStream.PairedBoxes." + identityStore.label; }

namespace {
// The record only counts when it is a dictionary of byte values; anything else reads as no record at all.
std::optional<platform::DefaultsValue::Dictionary> readRecord(const platform::UserDefaults& defaults,
                                                              const std::string& key) {
    const auto value = defaults.object(key);
    if (!value) return std::nullopt;
    const auto* dictionary = value->get<platform::DefaultsValue::Dictionary>();
    if (!dictionary) return std::nullopt;
    for (const auto& [id, certificate] : *dictionary)
        if (!certificate.get<Bytes>()) return std::nullopt;
    return *dictionary;
}
} // namespace

std::optional<Bytes> BoxHost::savedServerCertificate(const std::string& uniqueID) const {
    const auto record = readRecord(*defaults_, recordKey());
    if (!record) return std::nullopt;
    const auto it = record->find(uniqueID);
    if (it == record->end()) return std::nullopt;
    return *it->second.get<Bytes>();
}

void BoxHost::saveServerCertificate(const Bytes& certificate, const std::string& uniqueID) {
    auto record = readRecord(*defaults_, recordKey()).value_or(platform::DefaultsValue::Dictionary{});
    record[uniqueID] = platform::DefaultsValue{certificate};
    defaults_->set(recordKey(), platform::DefaultsValue{std::move(record)});
}

std::shared_ptr<HostConnection> BoxHost::makeConnection(std::optional<Bytes> serverCert, const ServerInfo& info) {
    auto connection = std::make_shared<HostConnection>(address, static_cast<int>(info.httpPort),
                                                       static_cast<int>(info.httpsPort),
                                                       identityStore.loadOrCreate(), std::move(serverCert), transport);
    std::lock_guard guard(lock_);
    connection_ = connection;
    return connection;
}

BoxHost::Paired BoxHost::pairedConnection(std::stop_token stop) {
    const ServerInfo info = publicServerInfo(stop);
    auto saved = savedServerCertificate(info.uniqueID);
    if (!saved) throw HostError::untrustedServer();
    auto connection = makeConnection(std::move(saved), info);
    // The connection carries the identity it was made with; reading the key store again would give the same.
    const ClientIdentity identity = *connection->identity;
    return {std::move(connection), identity};
}

ServerInfo BoxHost::publicServerInfo(std::stop_token stop) {
    HostConnection connection(address, httpPort, kPublicHttpsPort, std::nullopt, std::nullopt, transport);
    return ServerInfo(connection.get("/serverinfo", {{"uniqueid", "0"}, {"uuid", randomUUIDString()}}, false, 5, stop));
}

std::optional<ServerInfo> BoxHost::pairedServerInfo(std::stop_token stop) {
    const ServerInfo info = publicServerInfo(stop);
    auto saved = savedServerCertificate(info.uniqueID);
    if (!saved) return std::nullopt;
    auto connection = makeConnection(std::move(saved), info);
    return ServerInfo(connection->get("/serverinfo", clientQuery(*connection->identity), true, 5, stop));
}

BoxHost::PairState BoxHost::pairState(std::stop_token stop) {
    try {
        const auto info = pairedServerInfo(stop);
        return info && info->paired ? PairState::paired : PairState::notPaired;
    } catch (const HostError&) {
        return PairState::notPaired;
    } catch (const std::exception& e) {
        // A secure exchange that fails (a handshake cut short, a closed connection, a pin rejected) says
        // nothing of the pairing: pairing again over a passing fault would only replace a good one.
        EngineLog::write(std::string("pair: check failed: ") + e.what());
        return PairState::unknown;
    }
}

void BoxHost::pair(const std::string& deviceName, Pairing::Approve approve, std::stop_token stop) {
    const ServerInfo info = publicServerInfo(stop);
    auto connection = makeConnection(std::nullopt, info);
    const std::string pin = randomPIN();
    EngineLog::write("pair: pairing with " + text::forLog(info.hostname, 200) + " (" + text::forLog(info.appVersion, 100) + ")");
    const Bytes certificate =
        Pairing::pair(*connection, *connection->identity, pin, deviceName, info.majorVersion(), std::move(approve), stop);
    saveServerCertificate(certificate, info.uniqueID);
}

std::vector<HostApp> BoxHost::appList(std::stop_token stop) {
    const auto paired = pairedConnection(stop);
    return HostApp::list(paired.connection->get("/applist", clientQuery(paired.identity), true, 5, stop));
}

BoxHost::SessionStart BoxHost::start(std::int64_t appID, const StreamConfig& config, const SessionKeys& keys,
                                     bool resume, std::stop_token stop) {
    const auto paired = pairedConnection(stop);
    const QueryItems query{
        {"uniqueid", paired.identity.uniqueID()},
        {"uuid", randomUUIDString()},
        {"appid", std::to_string(appID)},
        {"mode", std::to_string(config.width) + "x" + std::to_string(config.height) + "x" + std::to_string(config.fps)},
        {"additionalStates", "1"},
        {"sops", config.optimizeGameSettings ? "1" : "0"},
        {"rikey", hex(keys.key)},
        {"rikeyid", std::to_string(keys.keyID)},
        {"localAudioPlayMode", "0"},
        {"surroundAudioInfo", std::to_string(surroundAudioInfo(config.audioChannels))},
        {"remoteControllersBitmap", "0"},
        {"gcmap", "0"},
        {"gcpersist", "0"},
    };
    const std::string path = resume ? "/resume" : "/launch";
    const auto began = std::chrono::steady_clock::now();
    const HostXML reply = paired.connection->get(path, query, true, 30, stop);
    HostReply::check(reply);
    const auto url = reply["sessionUrl0"];
    if (!url || url->empty()) throw HostError::badReply(path);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
    char line[96];
    std::snprintf(line, sizeof line, " ok in %.0f ms, ", ms);
    EngineLog::write("session: " + std::string(resume ? "resume" : "launch") + line + text::forLog(*url));
    return SessionStart{*url};
}

void BoxHost::cancel(std::stop_token stop) {
    const auto paired = pairedConnection(stop);
    const HostXML reply = paired.connection->get("/cancel", clientQuery(paired.identity), true, 15, stop);
    HostReply::check(reply);
    EngineLog::write("session: cancel ok (" + text::forLog(reply["cancel"].value_or("?"), 100) + ")");
}

bool BoxHost::unpair(std::stop_token stop) {
    bool confirmed = false;
    try {
        const ServerInfo info = publicServerInfo(stop);
        if (auto saved = savedServerCertificate(info.uniqueID)) {
            auto connection = makeConnection(std::move(saved), info);
            HostReply::check(connection->get("/unpair", clientQuery(*connection->identity), true, 5, stop));
            confirmed = true;
        }
    } catch (const std::exception& e) {
        EngineLog::write(std::string("pair: the box did not remove this Mac's certificate: ") + e.what());
    }
    forget();
    return confirmed;
}

void BoxHost::forget() {
    EngineLog::write("pair: forgetting this Mac's pairing (" + identityStore.label + ")");
    identityStore.remove();
    defaults_->remove(recordKey());
}

} // namespace corvane::stream
