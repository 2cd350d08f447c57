#include "platform/defaults/UserDefaults.hpp"

#include "platform/crypto/Crypto.hpp"
#include "platform/log/SystemLog.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

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

std::filesystem::path xdgFolder(const char* variable, const char* fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value && value[0] == '/') return value;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / fallbackUnderHome;
}

} // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {
    std::ifstream in(file_, std::ios::binary);
    if (!in) return;  // nothing stored yet
    std::stringstream text;
    text << in.rdbuf();
    try {
        const Json root = Json::parse(text.str());
        if (!root.is_object()) throw std::runtime_error("the file does not hold a dictionary");
        for (const auto& [key, item] : root.items()) values_[unescapeKey(key)] = fromJson(item);
    } catch (const std::exception& e) {
        // Keep the unreadable file for the user rather than overwriting it with the next change.
        values_.clear();
        const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
        auto aside = file_;
        aside += ".unreadable-" + std::to_string(stamp);
        std::error_code ignored;
        std::filesystem::rename(file_, aside, ignored);
        SystemLog::write("defaults", "WARNING: settings file " + file_.string() + " could not be read (" +
                                         e.what() + "); moved aside to " + aside.string());
    }
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
    std::lock_guard guard(mutex_);
    values_[key] = std::move(value);
    save();
}

void UserDefaults::remove(std::string_view key) {
    std::lock_guard guard(mutex_);
    const auto it = values_.find(key);
    if (it == values_.end()) return;
    values_.erase(it);
    save();
}

void UserDefaults::save() const {
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
    if (!ok) {
        const std::string reason = std::strerror(errno);
        ::unlink(temporary.c_str());
        SystemLog::write("defaults", "WARNING: settings could not be saved to " + file_.string() + ": " + reason);
    }
}

} // namespace corvane::platform
