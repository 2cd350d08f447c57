#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvane {

// The application as `cmake --install` lays it out: bin/corvane, lib/, share/corvane/ with app-info.json
// ({"identifier": ..., "version": ...}). An update replaces one such folder with another.
namespace InstallFolder {

inline constexpr const char* kProgram = "bin/corvane";
inline constexpr const char* kAppInfo = "share/corvane/app-info.json";

// The identifier of `folder` when it has that shape (a real folder, bin/corvane a regular executable file,
// app-info.json a small regular file naming an identifier); nothing otherwise. Symbolic links are not
// followed at any step below `folder`.
std::optional<std::string> identifierOf(const std::filesystem::path& folder);
bool isOurs(const std::filesystem::path& folder, const std::string& identifier);
// The install folder holding the running program: the real path of `executable` must be
// <folder>/bin/corvane of a folder of ours that this user owns. Nothing for a build tree, /usr or /usr/local.
std::optional<std::filesystem::path> running(const std::string& identifier,
                                             const std::filesystem::path& executable = "/proc/self/exe");

} // namespace InstallFolder

} // namespace corvane
