#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvane {

// The application as `cmake --install` lays it out: bin/corvane, lib/, share/corvane/ with app-info.json
// ({"identifier": ..., "version": ...}), share/applications and share/icons for the desktop. That folder is
// what the desktop entry and the login item name (<folder>/bin/corvane), so it is never moved or replaced:
// an update unpacks the new version into <folder>/.versions/<name>/ and switches <folder>/bin/corvane to a
// link "../.versions/<name>/bin/corvane" (VersionSwitch). The folder then starts the version the link names;
// before its first update it starts itself.
namespace InstallFolder {

inline constexpr const char* kProgram = "bin/corvane";
inline constexpr const char* kAppInfo = "share/corvane/app-info.json";
inline constexpr const char* kVersions = ".versions";
// A link in bin/ that a switch has made and not yet put in place.
inline constexpr const char* kLinkPrefix = ".corvane-link-";

// The identifier of `folder` when it is laid out as above (a real folder, bin/corvane a regular executable
// file, app-info.json a small regular file naming an identifier); nothing otherwise. Symbolic links are not
// followed at any step below `folder`.
std::optional<std::string> identifierOf(const std::filesystem::path& folder);
bool isOurs(const std::filesystem::path& folder, const std::string& identifier);

// The folder holding the version `install` starts: `install` itself, or the version its program link names.
// Nothing unless `install` is a real folder this user owns that holds only what the app puts there: an update
// changes and removes things in it, so a prefix shared with other programs (~/.local, /opt) is never ours.
std::optional<std::filesystem::path> current(const std::filesystem::path& install, const std::string& identifier);

// The install folder holding the running program: the real path of `executable` must be
// <install>/bin/corvane or <install>/.versions/<name>/bin/corvane of an install folder of ours. Nothing for a
// build tree, /usr or /usr/local.
std::optional<std::filesystem::path> running(const std::string& identifier,
                                             const std::filesystem::path& executable = "/proc/self/exe");

// What a command that should start this app names: <install>/bin/corvane, which every update keeps, when the
// program runs from an install folder of ours; else the real path of `executable`.
std::filesystem::path programToStart(const std::string& identifier,
                                     const std::filesystem::path& executable = "/proc/self/exe");

} // namespace InstallFolder

} // namespace corvane
