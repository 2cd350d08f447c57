#pragma once

// The records the box agent's replies decode into. Decoding is strict: keys exactly as written, required
// fields present and non-null, Booleans only true or false, integers whole and inside their range,
// unsigned ones never negative; one bad element fails the whole reply. Unknown keys are ignored.
// decode() reads a whole reply body; fromJson() one already parsed value at `path`. Both throw
// AgentClient::DecodeError.

#include "app/services/agent/AgentClient.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

struct AgentClient::WakeAdapter {
    std::string name;
    std::string mac;
    std::optional<bool> wireless;
    std::optional<bool> up;
    std::optional<std::vector<std::string>> ipv4;

    static WakeAdapter fromJson(const nlohmann::json& value, const std::string& path);
    bool operator==(const WakeAdapter&) const = default;
};

struct AgentClient::BoxSettings {
    std::int64_t unpluggedSleepMinutes = 0;

    static BoxSettings fromJson(const nlohmann::json& value, const std::string& path);
    bool operator==(const BoxSettings&) const = default;
};

struct AgentClient::UpdateStatus {
    std::string state;  // "done" and "failed" are final
    std::optional<std::string> component;
    std::optional<std::string> message;
    double progress = 0;
    std::optional<std::string> version;

    static UpdateStatus decode(ByteView body);
    static UpdateStatus fromJson(const nlohmann::json& value, const std::string& path);
    bool operator==(const UpdateStatus&) const = default;
};

struct AgentClient::Info {
    struct StreamingHost {
        bool reachable = false;
        bool authOk = false;
        std::int64_t pairedClients = 0;
        std::optional<std::string> error;
        std::optional<std::string> version;

        static StreamingHost fromJson(const nlohmann::json& value, const std::string& path);
        bool operator==(const StreamingHost&) const = default;
    };
    struct Sharing {
        bool available = false;
        std::optional<std::string> reason;

        static Sharing fromJson(const nlohmann::json& value, const std::string& path);
        bool operator==(const Sharing&) const = default;
    };

    std::string product;
    std::string agentVersion;
    std::string boxName;
    std::optional<StreamingHost> streamingHost;
    std::optional<std::string> windows;
    std::optional<bool> gamepadDriver;
    std::optional<std::vector<WakeAdapter>> wake;
    std::optional<BoxSettings> settings;
    std::optional<bool> canUpdate;
    std::optional<UpdateStatus> update;
    std::optional<Sharing> sharing;

    static Info decode(ByteView body);
    static Info fromJson(const nlohmann::json& value, const std::string& path);
    bool operator==(const Info&) const = default;
};

struct AgentClient::BoxUpdates {
    std::map<std::string, std::string> installed;  // component ("agent", "host", "gamepad") -> version
    std::map<std::string, std::string> available;
    bool canUpdate = false;

    static BoxUpdates decode(ByteView body);
    static BoxUpdates fromJson(const nlohmann::json& value, const std::string& path);
};

struct AgentClient::BoxStatus {
    std::optional<std::string> cpuName;
    std::optional<std::string> gpuName;
    double cpuPercent = 0;
    std::optional<double> gpuPercent;
    std::uint64_t memoryUsed = 0;
    std::uint64_t memoryTotal = 0;
    std::uint64_t diskFree = 0;
    std::uint64_t diskTotal = 0;
    std::optional<double> temperatureC;
    std::uint64_t uptimeSeconds = 0;

    static BoxStatus decode(ByteView body);
    static BoxStatus fromJson(const nlohmann::json& value, const std::string& path);
    bool operator==(const BoxStatus&) const = default;
};

struct AgentClient::Clip {
    std::uint32_t seq = 0;
    std::optional<std::string> type;  // "text" or "png"
    std::optional<std::string> text;
    std::optional<std::string> png;   // PNG bytes in Base64
    // Not read from the reply: the item was larger than the client takes, so only its seq is known.
    bool tooLarge = false;

    static Clip decode(ByteView body);
    static Clip fromJson(const nlohmann::json& value, const std::string& path);
};

struct AgentClient::DropStart {
    std::string id;
    std::string dest;  // a Windows path
    std::vector<std::string> names;

    static DropStart decode(ByteView body);
    static DropStart fromJson(const nlohmann::json& value, const std::string& path);
};

struct AgentClient::OutboxItem {
    struct File {
        std::string path;  // relative, "/"-separated, as Windows sent it
        std::int64_t size = 0;

        static File fromJson(const nlohmann::json& value, const std::string& path);
    };

    std::string id;
    std::vector<File> files;
    std::optional<std::vector<std::string>> dirs;
    std::int64_t totalBytes = 0;

    static OutboxItem fromJson(const nlohmann::json& value, const std::string& path);
    // The reply of GET /v1/user/outbox: {"items": [...]}.
    static std::vector<OutboxItem> decodeList(ByteView body);
};

} // namespace corvane
