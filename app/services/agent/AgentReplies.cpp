#include "app/services/agent/AgentReplies.hpp"

#include <cmath>
#include <limits>
#include <type_traits>

#include <nlohmann/json.hpp>

namespace corvane {
namespace {

using json = nlohmann::json;
using Kind = AgentClient::DecodeError::Kind;

std::string member(const std::string& path, const char* key) { return path.empty() ? key : path + "." + key; }
std::string element(const std::string& path, std::size_t index) {
    return (path.empty() ? std::string("(top level)") : path) + "[" + std::to_string(index) + "]";
}

[[noreturn]] void mismatch(const std::string& path, const char* expected) {
    throw AgentClient::DecodeError(Kind::typeMismatch, path, std::string("expected ") + expected);
}

// A whole number of JSON that fits T. Floating-point numbers count when they are whole (12.0).
template <class T>
T integer(const json& value, const std::string& path, const char* name) {
    static_assert(std::is_integral_v<T>);
    if (!value.is_number()) mismatch(path, name);
    const auto outOfRange = [&]() -> AgentClient::DecodeError {
        return AgentClient::DecodeError(Kind::dataCorrupted, path, std::string("the number does not fit ") + name);
    };
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) throw outOfRange();
        return static_cast<T>(n);
    }
    if (value.is_number_integer()) {
        const auto n = value.get<std::int64_t>();
        if constexpr (std::is_unsigned_v<T>) {
            if (n < 0 || static_cast<std::uint64_t>(n) > std::numeric_limits<T>::max()) throw outOfRange();
        } else {
            if (n < std::numeric_limits<T>::min() || n > std::numeric_limits<T>::max()) throw outOfRange();
        }
        return static_cast<T>(n);
    }
    const double d = value.get<double>();
    // Bounds as exact powers of two: max()+1 of a 64-bit type is representable, max() itself is not.
    const double upper = std::ldexp(1.0, std::numeric_limits<T>::digits);
    // Signed: -2^63 itself is refused too, as any integer text below it rounds to exactly that double.
    const bool belowRange = std::is_signed_v<T> ? d <= -upper : d < 0.0;
    if (!std::isfinite(d) || d != std::trunc(d) || belowRange || d >= upper) throw outOfRange();
    return static_cast<T>(d);
}

template <class T>
struct Tag {};

std::string read(const json& value, const std::string& path, Tag<std::string>) {
    if (!value.is_string()) mismatch(path, "text");
    return value.get<std::string>();
}
bool read(const json& value, const std::string& path, Tag<bool>) {
    if (!value.is_boolean()) mismatch(path, "true or false");
    return value.get<bool>();
}
double read(const json& value, const std::string& path, Tag<double>) {
    if (!value.is_number()) mismatch(path, "a number");
    return value.get<double>();
}
std::int64_t read(const json& value, const std::string& path, Tag<std::int64_t>) {
    return integer<std::int64_t>(value, path, "a signed 64-bit integer");
}
std::uint64_t read(const json& value, const std::string& path, Tag<std::uint64_t>) {
    return integer<std::uint64_t>(value, path, "an unsigned 64-bit integer");
}
std::uint32_t read(const json& value, const std::string& path, Tag<std::uint32_t>) {
    return integer<std::uint32_t>(value, path, "an unsigned 32-bit integer");
}
std::map<std::string, std::string> read(const json& value, const std::string& path,
                                        Tag<std::map<std::string, std::string>>) {
    if (!value.is_object()) mismatch(path, "an object");
    std::map<std::string, std::string> out;
    for (const auto& [key, item] : value.items()) out[key] = read(item, member(path, key.c_str()), Tag<std::string>{});
    return out;
}
template <class T>
T read(const json& value, const std::string& path, Tag<T>) {
    return T::fromJson(value, path);
}
template <class T>
std::vector<T> read(const json& value, const std::string& path, Tag<std::vector<T>>) {
    if (!value.is_array()) mismatch(path, "an array");
    std::vector<T> out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) out.push_back(read(value[i], element(path, i), Tag<T>{}));
    return out;
}

// One JSON object being read into a record.
class Fields {
public:
    Fields(const json& value, const std::string& path) : value_(value), path_(path) {
        if (!value.is_object()) mismatch(path.empty() ? "(top level)" : path, "an object");
    }

    template <class T>
    T required(const char* key) const {
        const auto found = value_.find(key);
        if (found == value_.end()) throw AgentClient::DecodeError(Kind::keyNotFound, member(path_, key), "missing");
        if (found->is_null()) throw AgentClient::DecodeError(Kind::valueNotFound, member(path_, key), "null");
        return read(*found, member(path_, key), Tag<T>{});
    }

    template <class T>
    std::optional<T> optional(const char* key) const {
        const auto found = value_.find(key);
        if (found == value_.end() || found->is_null()) return std::nullopt;
        return read(*found, member(path_, key), Tag<T>{});
    }

private:
    const json& value_;
    std::string path_;
};

// A parsed reply, freed from the leaves up (see AgentClient::release).
struct Parsed {
    json value;
    ~Parsed() { AgentClient::release(value); }
};

template <class T>
T decodeBody(ByteView body, std::size_t budget = AgentClient::kFixedReplyBudget) {
    const Parsed parsed{AgentClient::parseJson(body, budget)};
    const json& value = parsed.value;
    return T::fromJson(value, "");
}

} // namespace

AgentClient::WakeAdapter AgentClient::WakeAdapter::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    WakeAdapter out;
    out.name = f.required<std::string>("name");
    out.mac = f.required<std::string>("mac");
    out.wireless = f.optional<bool>("wireless");
    out.up = f.optional<bool>("up");
    out.ipv4 = f.optional<std::vector<std::string>>("ipv4");
    return out;
}

AgentClient::BoxSettings AgentClient::BoxSettings::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    return BoxSettings{f.required<std::int64_t>("unplugged_sleep_minutes")};
}

AgentClient::UpdateStatus AgentClient::UpdateStatus::decode(ByteView body) { return decodeBody<UpdateStatus>(body); }
AgentClient::UpdateStatus AgentClient::UpdateStatus::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    UpdateStatus out;
    out.state = f.required<std::string>("state");
    out.component = f.optional<std::string>("component");
    out.message = f.optional<std::string>("message");
    out.progress = f.required<double>("progress");
    out.version = f.optional<std::string>("version");
    return out;
}

AgentClient::Info::StreamingHost AgentClient::Info::StreamingHost::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    StreamingHost out;
    out.reachable = f.required<bool>("reachable");
    out.authOk = f.required<bool>("auth_ok");
    out.pairedClients = f.required<std::int64_t>("paired_clients");
    out.error = f.optional<std::string>("error");
    out.version = f.optional<std::string>("version");
    return out;
}

AgentClient::Info::Sharing AgentClient::Info::Sharing::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    Sharing out;
    out.available = f.required<bool>("available");
    out.reason = f.optional<std::string>("reason");
    return out;
}

AgentClient::Info AgentClient::Info::decode(ByteView body) { return decodeBody<Info>(body); }
AgentClient::Info AgentClient::Info::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    Info out;
    out.product = f.required<std::string>("product");
    out.agentVersion = f.required<std::string>("agent_version");
    out.boxName = f.required<std::string>("box_name");
    out.streamingHost = f.optional<StreamingHost>("streaming_host");
    out.windows = f.optional<std::string>("windows");
    out.gamepadDriver = f.optional<bool>("gamepad_driver");
    out.wake = f.optional<std::vector<WakeAdapter>>("wake");
    out.settings = f.optional<BoxSettings>("settings");
    out.canUpdate = f.optional<bool>("can_update");
    out.update = f.optional<UpdateStatus>("update");
    out.sharing = f.optional<Sharing>("sharing");
    return out;
}

AgentClient::BoxUpdates AgentClient::BoxUpdates::decode(ByteView body) { return decodeBody<BoxUpdates>(body); }
AgentClient::BoxUpdates AgentClient::BoxUpdates::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    BoxUpdates out;
    out.installed = f.required<std::map<std::string, std::string>>("installed");
    out.available = f.required<std::map<std::string, std::string>>("available");
    out.canUpdate = f.required<bool>("can_update");
    return out;
}

AgentClient::BoxStatus AgentClient::BoxStatus::decode(ByteView body) { return decodeBody<BoxStatus>(body); }
AgentClient::BoxStatus AgentClient::BoxStatus::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    BoxStatus out;
    out.cpuName = f.optional<std::string>("cpu_name");
    out.gpuName = f.optional<std::string>("gpu_name");
    out.cpuPercent = f.required<double>("cpu_percent");
    out.gpuPercent = f.optional<double>("gpu_percent");
    out.memoryUsed = f.required<std::uint64_t>("memory_used");
    out.memoryTotal = f.required<std::uint64_t>("memory_total");
    out.diskFree = f.required<std::uint64_t>("disk_free");
    out.diskTotal = f.required<std::uint64_t>("disk_total");
    out.temperatureC = f.optional<double>("temperature_c");
    out.uptimeSeconds = f.required<std::uint64_t>("uptime_seconds");
    return out;
}

AgentClient::Clip AgentClient::Clip::decode(ByteView body) { return decodeBody<Clip>(body); }
AgentClient::Clip AgentClient::Clip::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    Clip out;
    out.seq = f.required<std::uint32_t>("seq");
    out.type = f.optional<std::string>("type");
    out.text = f.optional<std::string>("text");
    out.png = f.optional<std::string>("png");
    return out;
}

AgentClient::DropStart AgentClient::DropStart::decode(ByteView body) {
    return decodeBody<DropStart>(body, AgentClient::listBudget(body));
}
AgentClient::DropStart AgentClient::DropStart::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    DropStart out;
    out.id = f.required<std::string>("id");
    out.dest = f.required<std::string>("dest");
    out.names = f.required<std::vector<std::string>>("names");
    return out;
}

AgentClient::OutboxItem::File AgentClient::OutboxItem::File::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    File out;
    out.path = f.required<std::string>("path");
    out.size = f.required<std::int64_t>("size");
    return out;
}

AgentClient::OutboxItem AgentClient::OutboxItem::fromJson(const json& value, const std::string& path) {
    const Fields f(value, path);
    OutboxItem out;
    out.id = f.required<std::string>("id");
    out.files = f.required<std::vector<File>>("files");
    out.dirs = f.optional<std::vector<std::string>>("dirs");
    out.totalBytes = f.required<std::int64_t>("total_bytes");
    return out;
}

namespace {

// Roughly what a record holds in memory: its place in a growing list, and its texts beyond the inline ones.
std::size_t textCost(const std::string& text) { return text.capacity() > 15 ? text.capacity() + 1 : 0; }
std::size_t memoryOf(const AgentClient::OutboxItem& item) {
    std::size_t bytes = 2 * sizeof(AgentClient::OutboxItem) + textCost(item.id);
    bytes += item.files.capacity() * sizeof(AgentClient::OutboxItem::File);
    for (const auto& file : item.files) bytes += textCost(file.path);
    if (item.dirs) {
        bytes += item.dirs->capacity() * sizeof(std::string);
        for (const auto& dir : *item.dirs) bytes += textCost(dir);
    }
    return bytes;
}

} // namespace

// The items are read one by one as the list is parsed: a long list of small items costs its records, far
// less than its parsed form would.
std::vector<AgentClient::OutboxItem> AgentClient::OutboxItem::decodeList(ByteView body) {
    std::vector<OutboxItem> items;
    const auto take = [&items](const json& value, std::size_t index) {
        items.push_back(OutboxItem::fromJson(value, element("items", index)));
        return memoryOf(items.back());
    };
    const Parsed parsed{AgentClient::parseJson(body, AgentClient::listBudget(body), "items", take)};
    const Fields f(parsed.value, "");
    (void)f.required<std::vector<OutboxItem>>("items");  // there, and a list; its elements are taken already
    return items;
}

} // namespace corvane
