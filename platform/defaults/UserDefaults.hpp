#pragma once

#include "platform/core/Bytes.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
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
//
// Warnings ("WARNING: settings: ...") go to the system log and to the warning sink the application installs
// for its own log. That log may be made only after the settings were read: warnings raised while no sink is
// installed are kept (the first kKeptWarnings, then only their number) and handed to the next sink installed.
class UserDefaults final {
public:
    struct Warning {
        std::chrono::system_clock::time_point at;  // when it was raised
        std::string line;
    };
    using WarningSink = std::function<void(const Warning& warning)>;
    static constexpr std::size_t kKeptWarnings = 100;

    explicit UserDefaults(std::filesystem::path file);
    static std::filesystem::path standardFile();  // $XDG_CONFIG_HOME/Corvane/defaults.json

    // Every later warning goes to `sink` (none: kept again), the kept ones first, in the order raised.
    // Callable from any thread; the sink is called outside every lock, so it may read settings or log.
    static void setWarningSink(WarningSink sink);

    std::optional<DefaultsValue> object(std::string_view key) const;
    bool boolean(std::string_view key) const;  // false when missing or not a Bool
    double number(std::string_view key) const;  // 0 when missing or not a number
    void set(const std::string& key, DefaultsValue value);
    void remove(std::string_view key);

private:
    // With mutex_ held; what to warn of once it is released, if the file could not be written.
    std::optional<std::string> save() const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::map<std::string, DefaultsValue, std::less<>> values_;
};

} // namespace corvane::platform
