#pragma once

#include <filesystem>
#include <string>

namespace corvane::platform {

// The login item: an XDG autostart entry, $XDG_CONFIG_HOME/autostart/corvane.desktop, whose command runs
// this program with "--at-login" so the launch can tell itself apart from one by hand. The desktop never
// asks the user to approve it, so the status is only enabled or not registered.
namespace LoginItem {

enum class Status { notRegistered, enabled };

// The entry's file, under the given configuration folder (the XDG one when empty).
std::filesystem::path file(const std::filesystem::path& configHome = {});

// Enabled when our entry exists and neither hides itself nor is switched off by the desktop's settings.
Status status(const std::filesystem::path& configHome = {});

// Writes the entry (atomically) for `executable`, or removes it. Throws corvane::Error when the file
// cannot be written or removed, or the path cannot be put on an Exec line (control characters).
void set(bool enabled, const std::filesystem::path& executable, const std::filesystem::path& configHome = {});

// The Exec value that runs `executable --at-login`, quoted for the Desktop Entry format: the path
// double-quoted with " ` $ \ escaped, then string-escaped, then "%" doubled.
std::string execLine(const std::string& executable);

} // namespace LoginItem

} // namespace corvane::platform
