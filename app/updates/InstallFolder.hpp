#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>
#include <unistd.h>

namespace corvane {

// The application as `cmake --install --prefix <prefix>` lays it out: bin/corvane, share/corvane/ with
// app-info.json ({"identifier": ..., "version": ...}), share/applications and share/icons for the desktop.
// The prefix may be shared with other programs (~/.local, /opt/tools): an update keeps every version it
// brings in a place of the app's own, <prefix>/lib/corvane/<name>/, laid out the same way, and switches
// <prefix>/bin/corvane to a link "../lib/corvane/<name>/bin/corvane" (VersionSwitch). The desktop entry and
// the login item name <prefix>/bin/corvane, so they always start the version the prefix starts. Installs
// updated by an earlier release keep their versions in <prefix>/.versions/<name>/ until their next update.
namespace InstallFolder {

inline constexpr const char* kProgram = "bin/corvane";
inline constexpr const char* kAppInfo = "share/corvane/app-info.json";
inline constexpr const char* kVersions = "lib/corvane";
// Where an earlier release kept versions, in an install folder that held nothing but the app.
inline constexpr const char* kEarlierVersions = ".versions";
// A link in bin/ that a switch has made and not yet put in place.
inline constexpr const char* kLinkPrefix = ".corvane-link-";
// A folder in lib/corvane an update unpacks into.
inline constexpr const char* kUnpackPrefix = ".corvane-update-";
// A folder a tidy-up is removing, renamed first into the folder holding the versions, so that what a kill
// cuts short the next tidy-up still knows as its own.
inline constexpr const char* kRemovingPrefix = ".corvane-old-";

// Whether `name` is `prefix` and a UUID as updates make them (36 characters, upper case): the only names an
// earlier release's unpack folders and a tidy-up's folders take.
bool madeName(std::string_view name, std::string_view prefix);

// The identifier of `folder` when it is laid out as above (a real folder, bin/corvane a regular executable
// file, app-info.json a small regular file naming an identifier); nothing otherwise. Symbolic links are not
// followed at any step below `folder`, except libFolder's.
std::optional<std::string> identifierOf(const std::filesystem::path& folder);
// The identifier an app-info.json file names.
std::optional<std::string> appInfoIdentifier(const std::filesystem::path& file);
bool isOurs(const std::filesystem::path& folder, const std::string& identifier);

// <name> when `target` is the link a switch writes to a version, "../lib/corvane/<name>/bin/corvane" (or an
// earlier release's "../.versions/<name>/bin/corvane"), with the folder holding the versions.
struct Link {
    std::string versions;  // kVersions or kEarlierVersions
    std::string name;
};
std::optional<Link> linkNamed(const std::string& target);

// The real folder <install>/lib is: lib itself, or the folder beside it that lib links to, as distributions
// lay out lib -> lib64. Nothing for any other link, or no folder.
std::optional<std::filesystem::path> libFolder(const std::filesystem::path& install);

// The folder holding the version <install>/bin/corvane starts: `install` itself (bin/corvane is the program
// of a plain install), or the version of ours its link names. Nothing when bin/corvane is not the app's.
std::optional<std::filesystem::path> current(const std::filesystem::path& install, const std::string& identifier);

// The prefix holding the running program. `executable` named <install>/bin/corvane as it was started
// (startedAs): that prefix when its program is the app's (a link a switch writes, or a plain install's file),
// whatever its folders link to, so that obstacle() can say why it cannot be updated. Otherwise the real path of
// `executable` must be the program of <install> or of one of its versions, and the one <install>/bin/corvane
// starts; a version found elsewhere (its prefix's lib leads out of it) is never taken for a plain install.
// Nothing for a build tree.
std::optional<std::filesystem::path> running(const std::string& identifier,
                                             const std::filesystem::path& executable = "/proc/self/exe");

// The path the program was started by: `argv0` when it holds a slash, else the first entry of PATH holding it,
// as a shell finds it; `executable` when that is not the same file (a path reused since, or a start through
// another name).
std::filesystem::path startedAs(const std::string& argv0, const std::filesystem::path& executable = "/proc/self/exe");

// Why the app cannot update itself in `install`: the first folder an update would write that is the
// system's (/usr), a link it does not follow, not a folder, another user's, read-only or closed to its owner
// (no x bit); or the program, when it is missing or another user's. `user` owns what the app may change.
struct Obstacle {
    enum class Why { system, link, notFolder, otherUser, readOnly, closed, programMissing, programOtherUser, notInstalled };
    std::filesystem::path folder;
    Why why = Why::otherUser;
    // "Corvane can't update itself in {folder}: {why}." in words that are true of it.
    std::string text() const;
};
std::optional<Obstacle> obstacle(const std::filesystem::path& install, uid_t user = ::getuid());
// Where the running program is no install's (a build tree, or a version whose prefix cannot be found): the folder
// of its real path.
Obstacle notInstalled(const std::filesystem::path& executable = "/proc/self/exe");

// What a command that should start this app names: <install>/bin/corvane, which every update keeps, when the
// program runs from an install of ours; else the real path of `executable`.
std::filesystem::path programToStart(const std::string& identifier,
                                     const std::filesystem::path& executable = "/proc/self/exe");

} // namespace InstallFolder

} // namespace corvane
