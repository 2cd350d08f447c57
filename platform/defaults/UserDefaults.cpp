#include "platform/defaults/UserDefaults.hpp"

#include "platform/crypto/Crypto.hpp"
#include "platform/log/SystemLog.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace corvane::platform {
namespace {

using Json = nlohmann::json;

// Bytes are written as {"$bytes": "<base64>"}. So that no dictionary can be mistaken for bytes, keys that
// start with "$" are written with one more "$" in front and lose it again on reading.
constexpr const char* kBytesTag = "$bytes";

std::string escapeKey(const std::string& key) { return key.starts_with('$') ? "$" + key : key; }
std::string unescapeKey(const std::string& key) { return key.starts_with("$$") ? key.substr(1) : key; }

Json toJson(const DefaultsValue& v) {
    return std::visit(
        [](const auto& x) -> Json {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, Bytes>) {
                return Json::object({{kBytesTag, Crypto::base64Encode(x)}});
            } else if constexpr (std::is_same_v<T, DefaultsValue::Array>) {
                Json array = Json::array();
                for (const auto& item : x) array.push_back(toJson(item));
                return array;
            } else if constexpr (std::is_same_v<T, DefaultsValue::Dictionary>) {
                Json object = Json::object();
                for (const auto& [key, item] : x) object[escapeKey(key)] = toJson(item);
                return object;
            } else {
                return Json(x);
            }
        },
        v.value);
}

DefaultsValue fromJson(const Json& j, int depth = 0) {
    if (depth > 64) throw std::runtime_error("values nested too deeply");
    switch (j.type()) {
    case Json::value_t::boolean: return {j.get<bool>()};
    case Json::value_t::number_integer: return {j.get<std::int64_t>()};
    case Json::value_t::number_unsigned: {
        const auto u = j.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) return {static_cast<double>(u)};
        return {static_cast<std::int64_t>(u)};
    }
    case Json::value_t::number_float: return {j.get<double>()};
    case Json::value_t::string: return {j.get<std::string>()};
    case Json::value_t::array: {
        DefaultsValue::Array array;
        for (const auto& item : j) array.push_back(fromJson(item, depth + 1));
        return {std::move(array)};
    }
    case Json::value_t::object: {
        if (j.size() == 1 && j.contains(kBytesTag)) {
            const auto& text = j.at(kBytesTag);
            if (!text.is_string()) throw std::runtime_error("bytes that are not Base64 text");
            auto bytes = Crypto::base64Decode(text.get<std::string>());
            if (!bytes) throw std::runtime_error("bytes that are not Base64 text");
            return {std::move(*bytes)};
        }
        DefaultsValue::Dictionary dictionary;
        for (const auto& [key, item] : j.items()) dictionary[unescapeKey(key)] = fromJson(item, depth + 1);
        return {std::move(dictionary)};
    }
    default: throw std::runtime_error("a value of no known type");
    }
}

// A value as stored, with what cannot be read (null, bytes that are not Base64) left out: in a dictionary or
// list only that entry goes. Nothing when the value itself cannot be read; throws when it is nested too deeply.
std::optional<DefaultsValue> readable(const Json& j, int depth = 0) {
    if (depth > 64) throw std::runtime_error("values nested too deeply");
    if (j.is_array()) {
        DefaultsValue::Array array;
        for (const auto& item : j)
            if (auto value = readable(item, depth + 1)) array.push_back(std::move(*value));
        return DefaultsValue{std::move(array)};
    }
    if (j.is_object() && !(j.size() == 1 && j.contains(kBytesTag))) {
        DefaultsValue::Dictionary dictionary;
        for (const auto& [key, item] : j.items())
            if (auto value = readable(item, depth + 1)) dictionary[unescapeKey(key)] = std::move(*value);
        return DefaultsValue{std::move(dictionary)};
    }
    try {
        return fromJson(j, depth);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The file's text when it is a regular file of a sane size; false when there is none. A FIFO or device in its
// place never holds up the start, and a file too large to be ours is refused rather than read: both throw.
constexpr std::size_t kMaxFileBytes = 16u << 20;
bool readSettingsFile(const std::filesystem::path& file, std::string& text) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        throw std::runtime_error(std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw std::runtime_error("not a regular file");
    char block[16384];
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::runtime_error(std::strerror(errno));
        if (got == 0) return true;
        if (text.size() + static_cast<std::size_t>(got) > kMaxFileBytes) throw std::runtime_error("larger than 16 MiB");
        text.append(block, static_cast<std::size_t>(got));
    }
}

// Where warnings go besides the system log, and those kept while there is no sink.
struct Warnings {
    std::mutex lock;
    UserDefaults::WarningSink sink;
    std::vector<UserDefaults::Warning> kept;
    std::size_t notKept = 0;
    std::chrono::system_clock::time_point lastNotKept;
};

Warnings& warnings() {
    // Never destroyed: settings may be saved, and warn, while the process exits.
    static auto* shared = new Warnings;
    return *shared;
}

void warn(const std::string& text) {
    const UserDefaults::Warning warning{std::chrono::system_clock::now(), "WARNING: settings: " + text};
    SystemLog::write("defaults", warning.line);
    Warnings& all = warnings();
    UserDefaults::WarningSink sink;
    {
        std::lock_guard guard(all.lock);
        if (!all.sink) {
            if (all.kept.size() < UserDefaults::kKeptWarnings) {
                all.kept.push_back(warning);
            } else {
                ++all.notKept;
                all.lastNotKept = warning.at;
            }
            return;
        }
        sink = all.sink;
    }
    sink(warning);
}

std::filesystem::path xdgFolder(const char* variable, const char* fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value && value[0] == '/') return value;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / fallbackUnderHome;
}

} // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {
    std::string text;
    try {
        if (!readSettingsFile(file_, text)) return;  // nothing stored yet
        const Json root = Json::parse(text);
        if (!root.is_object()) throw std::runtime_error("the file does not hold a dictionary");
        // A value that cannot be read is left out on its own: the other settings stay.
        std::vector<std::string> dropped;
        for (const auto& [key, item] : root.items()) {
            std::optional<DefaultsValue> value;
            try {
                value = readable(item);
            } catch (const std::exception&) {
            }
            if (value) values_[unescapeKey(key)] = std::move(*value);
            else dropped.push_back(key);
        }
        for (const auto& key : dropped)
            warn("the setting " + Json(key).dump() + " in " + file_.string() + " could not be read and is left out");
    } catch (const std::exception& e) {
        // Keep the unreadable file for the user rather than overwriting it with the next change.
        values_.clear();
        const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
        auto aside = file_;
        aside += ".unreadable-" + std::to_string(stamp);
        std::error_code moveError;
        std::filesystem::rename(file_, aside, moveError);
        warn("the file " + file_.string() + " could not be read (" + e.what() + "); " +
             (moveError ? "left where it is (" + moveError.message() + ")" : "moved aside to " + aside.string()));
    }
}

void UserDefaults::setWarningSink(WarningSink sink) {
    Warnings& all = warnings();
    WarningSink installed = sink;
    std::vector<Warning> kept;
    std::size_t notKept = 0;
    std::chrono::system_clock::time_point lastNotKept;
    {
        std::lock_guard guard(all.lock);
        std::swap(all.sink, sink);
        if (!installed) return;  // the old sink goes outside the lock
        kept = std::exchange(all.kept, {});
        notKept = std::exchange(all.notKept, 0);
        lastNotKept = all.lastNotKept;
    }
    // Installed above, so a warning raised meanwhile may come out before these: each keeps its own time.
    for (const Warning& warning : kept) installed(warning);
    if (notKept > 0)
        installed({lastNotKept, "WARNING: settings: " + std::to_string(notKept) + " more warnings were not kept"});
}

std::filesystem::path UserDefaults::standardFile() {
    return xdgFolder("XDG_CONFIG_HOME", ".config") / "Corvane" / "defaults.json";
}

std::optional<DefaultsValue> UserDefaults::object(std::string_view key) const {
    std::lock_guard guard(mutex_);
    const auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

bool UserDefaults::boolean(std::string_view key) const {
    const auto value = object(key);
    const bool* flag = value ? value->get<bool>() : nullptr;
    return flag && *flag;
}

double UserDefaults::number(std::string_view key) const {
    const auto value = object(key);
    if (!value) return 0;
    if (auto* real = value->get<double>()) return *real;
    if (auto* whole = value->get<std::int64_t>()) return double(*whole);
    return 0;
}

void UserDefaults::set(const std::string& key, DefaultsValue value) {
    std::optional<std::string> failure;
    {
        std::lock_guard guard(mutex_);
        values_[key] = std::move(value);
        failure = save();
    }
    if (failure) warn(*failure);
}

void UserDefaults::remove(std::string_view key) {
    std::optional<std::string> failure;
    {
        std::lock_guard guard(mutex_);
        const auto it = values_.find(key);
        if (it == values_.end()) return;
        values_.erase(it);
        failure = save();
    }
    if (failure) warn(*failure);
}

std::optional<std::string> UserDefaults::save() const {
    Json root = Json::object();
    for (const auto& [key, item] : values_) root[escapeKey(key)] = toJson(item);
    const std::string text = root.dump(2) + "\n";

    std::error_code error;
    std::filesystem::create_directories(file_.parent_path(), error);
    auto temporary = file_;
    temporary += ".tmp-" + std::to_string(getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    std::size_t written = 0;
    while (ok && written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) written += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (ok) ok = ::rename(temporary.c_str(), file_.c_str()) == 0;
    if (ok) return std::nullopt;
    const std::string reason = std::strerror(errno);
    ::unlink(temporary.c_str());
    return "could not be saved to " + file_.string() + ": " + reason;
}

} // namespace corvane::platform
