#include "app/services/Folders.hpp"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace corvane::Folders {
namespace {

std::optional<std::filesystem::path> absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value && value[0] == '/') return std::filesystem::path(value);
    return std::nullopt;  // relative values are invalid by the base directory rules
}

std::filesystem::path xdgBase(const char* variable, const char* fallbackUnderHome) {
    return absoluteVariable(variable).value_or(home() / fallbackUnderHome);
}

// One entry of user-dirs.dirs: XDG_DOWNLOAD_DIR="$HOME/Downloads". Only "$HOME/..." and absolute paths
// are valid there; anything else is ignored.
std::optional<std::filesystem::path> userDir(const std::string& key) {
    const auto file = xdgBase("XDG_CONFIG_HOME", ".config") / "user-dirs.dirs";
    std::ifstream in(file);
    std::string line;
    std::optional<std::filesystem::path> found;
    while (std::getline(in, line)) {
        if (!line.starts_with(key + "=")) continue;
        std::string value = line.substr(key.size() + 1);
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
        value = value.substr(1, value.size() - 2);
        std::string unescaped;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            unescaped += value[i];
        }
        if (unescaped.starts_with("$HOME/")) {
            found = home() / unescaped.substr(6);
        } else if (unescaped == "$HOME") {
            found = std::nullopt;  // a folder that is the home itself means "not set"
        } else if (unescaped.starts_with('/')) {
            found = std::filesystem::path(unescaped);
        }
    }
    return found;
}

} // namespace

std::filesystem::path home() {
    if (const auto value = absoluteVariable("HOME")) return *value;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return "/tmp";
}

std::filesystem::path logs() { return xdgBase("XDG_STATE_HOME", ".local/state") / "Corvane"; }

std::filesystem::path applicationSupport() { return xdgBase("XDG_DATA_HOME", ".local/share") / "Corvane"; }

std::filesystem::path downloads() { return userDir("XDG_DOWNLOAD_DIR").value_or(home() / "Downloads"); }

std::filesystem::path desktop() { return userDir("XDG_DESKTOP_DIR").value_or(home() / "Desktop"); }

} // namespace corvane::Folders
