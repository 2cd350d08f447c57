#include "platform/system/SystemInfo.hpp"

#include <csignal>
#include <fstream>
#include <sstream>
#include <system_error>

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace corvane::platform::SystemInfo {
namespace {

// Small system files only; a FIFO or a huge file never blocks or fills memory.
std::optional<std::string> readSmall(const std::filesystem::path& file, std::size_t cap = 64 * 1024) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content(cap, '\0');
    in.read(content.data(), static_cast<std::streamsize>(cap));
    content.resize(static_cast<std::size_t>(in.gcount()));
    return content;
}

std::string firstLine(std::string text) {
    if (const auto end = text.find('\n'); end != std::string::npos) text.resize(end);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
    return text;
}

} // namespace

std::optional<std::string> keyValue(const std::string& content, const std::string& key) {
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.starts_with(key + "=")) continue;
        std::string value = line.substr(key.size() + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        std::string plain;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            plain += value[i];
        }
        return plain;
    }
    return std::nullopt;
}

std::optional<std::string> computerName(const std::filesystem::path& machineInfo) {
    if (const auto content = readSmall(machineInfo))
        if (auto pretty = keyValue(*content, "PRETTY_HOSTNAME"); pretty && !pretty->empty()) return pretty;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0]) return std::string(host);
    return std::nullopt;
}

std::optional<std::string> model(const std::filesystem::path& dmi) {
    const auto vendor = readSmall(dmi / "sys_vendor", 256);
    const auto product = readSmall(dmi / "product_name", 256);
    std::string text;
    if (vendor) text = firstLine(*vendor);
    if (product && !firstLine(*product).empty()) text += (text.empty() ? "" : " ") + firstLine(*product);
    if (text.empty()) return std::nullopt;
    return text;
}

std::string osDescription(const std::filesystem::path& osRelease) {
    std::string name = "Linux";
    if (const auto content = readSmall(osRelease))
        if (auto pretty = keyValue(*content, "PRETTY_NAME"); pretty && !pretty->empty()) name = *pretty;
    utsname system{};
    if (uname(&system) == 0) name += std::string(", kernel ") + system.release;
    return name;
}

int killProcessesInside(const std::filesystem::path& folder) {
    std::error_code error;
    const auto root = std::filesystem::weakly_canonical(folder, error);
    if (error || root.empty()) return 0;
    const std::string prefix = root.string() + "/";
    int ended = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        struct stat info {};
        if (stat(entry.path().c_str(), &info) != 0 || info.st_uid != getuid()) continue;
        std::error_code linkError;
        const auto exe = std::filesystem::read_symlink(entry.path() / "exe", linkError);
        if (linkError || !exe.string().starts_with(prefix)) continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (pid != getpid() && ::kill(pid, SIGKILL) == 0) ++ended;
    }
    return ended;
}

} // namespace corvane::platform::SystemInfo
