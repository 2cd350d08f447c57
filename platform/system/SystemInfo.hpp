#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvane::platform {

// Facts about this computer for pairing names and the diagnostics report.
namespace SystemInfo {

// The name the user gave this computer: PRETTY_HOSTNAME of /etc/machine-info, else the host name;
// none when neither is set.
std::optional<std::string> computerName(const std::filesystem::path& machineInfo = "/etc/machine-info");

// "<vendor> <product>" from /sys/class/dmi/id; none when unreadable.
std::optional<std::string> model(const std::filesystem::path& dmi = "/sys/class/dmi/id");

// os-release's PRETTY_NAME and the kernel release: "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64".
std::string osDescription(const std::filesystem::path& osRelease = "/etc/os-release");

// Ends (SIGKILL) every process of this user whose executable lies inside `folder`; returns how many.
int killProcessesInside(const std::filesystem::path& folder);

// A value from a KEY=value file (os-release, machine-info), unquoted; none when absent.
std::optional<std::string> keyValue(const std::string& content, const std::string& key);

} // namespace SystemInfo

} // namespace corvane::platform
