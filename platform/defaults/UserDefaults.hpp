#pragma once

#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane::platform {

// One stored value. Bytes and strings stay apart, so a reader can tell "a value that isn't bytes".
struct DefaultsValue {
    using Array = std::vector<DefaultsValue>;
    using Dictionary = std::map<std::string, DefaultsValue>;
    std::variant<bool, std::int64_t, double, std::string, Bytes, Array, Dictionary> value;

    template <class T> const T* get() const { return std::get_if<T>(&value); }
    bool operator==(const DefaultsValue&) const = default;
};

// The user's settings in one JSON file, read once and rewritten atomically (temporary file, then rename)
// on every change. A file that cannot be read (no JSON dictionary, not a regular file, over 16 MiB) is moved
// aside with a warning, never overwritten; a value in it that cannot be read (null, say) is left out alone,
// so each reader falls back for that key only. Thread-safe.
class UserDefaults final {
public:
    explicit UserDefaults(std::filesystem::path file);
    static std::filesystem::path standardFile();  // $XDG_CONFIG_HOME/Corvane/defaults.json

    std::optional<DefaultsValue> object(std::string_view key) const;
    bool boolean(std::string_view key) const;  // false when missing or not a Bool
    double number(std::string_view key) const;  // 0 when missing or not a number
    void set(const std::string& key, DefaultsValue value);
    void remove(std::string_view key);

private:
    void save() const;  // with mutex_ held

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::map<std::string, DefaultsValue, std::less<>> values_;
};

} // namespace corvane::platform
