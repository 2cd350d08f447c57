#include "app/updates/InstallFolder.hpp"

#include "app/updates/SmallFile.hpp"

#include <set>
#include <system_error>

#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

constexpr std::size_t kMaxAppInfoBytes = 64 * 1024;

bool isKind(const std::filesystem::path& path, mode_t kind) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

// Whether `folder` (missing counts as empty) holds no names but `allowed` and, when given, ones starting
// with `prefix`.
bool holdsOnly(const std::filesystem::path& folder, const std::set<std::string>& allowed, const std::string& prefix = {}) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename();
        if (!allowed.contains(name) && (prefix.empty() || !name.starts_with(prefix))) return false;
    }
    return !error || error == std::errc::no_such_file_or_directory;
}

// Only what `cmake --install` and updates put in an install folder: anything else means the folder is
// shared with other programs, and an update must not touch it.
bool holdsOnlyOurs(const std::filesystem::path& install) {
    return holdsOnly(install, {"bin", "lib", "share", InstallFolder::kVersions}) &&
           holdsOnly(install / "bin", {"corvane"}, InstallFolder::kLinkPrefix) &&
           holdsOnly(install / "share", {"corvane", "applications", "icons"}) &&
           holdsOnly(install / "share/applications", {"corvane.desktop", "mimeinfo.cache"});
}

// <name> of the only link target a switch writes, "../.versions/<name>/bin/corvane".
std::optional<std::string> versionNamed(const std::string& target) {
    const std::string head = std::string("../") + InstallFolder::kVersions + "/";
    const std::string tail = std::string("/") + InstallFolder::kProgram;
    if (!target.starts_with(head) || !target.ends_with(tail) || target.size() <= head.size() + tail.size())
        return std::nullopt;
    const std::string name = target.substr(head.size(), target.size() - head.size() - tail.size());
    if (name == "." || name == ".." || name.find('/') != std::string::npos) return std::nullopt;
    return name;
}

} // namespace

std::optional<std::string> InstallFolder::identifierOf(const std::filesystem::path& folder) {
    if (!isKind(folder, S_IFDIR) || !isKind(folder / "bin", S_IFDIR) || !isKind(folder / "share", S_IFDIR) ||
        !isKind(folder / "share/corvane", S_IFDIR) || !isKind(folder / kProgram, S_IFREG) ||
        !isKind(folder / kAppInfo, S_IFREG))
        return std::nullopt;
    struct stat program {};
    if (::lstat((folder / kProgram).c_str(), &program) != 0 || (program.st_mode & S_IXUSR) == 0) return std::nullopt;
    const auto text = SmallFile::read(folder / kAppInfo, kMaxAppInfoBytes);
    if (!text) return std::nullopt;
    const auto json = nlohmann::json::parse(*text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return std::nullopt;
    const auto found = json.find("identifier");
    if (found == json.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

bool InstallFolder::isOurs(const std::filesystem::path& folder, const std::string& identifier) {
    const auto found = identifierOf(folder);
    return found && *found == identifier;
}

std::optional<std::filesystem::path> InstallFolder::current(const std::filesystem::path& install,
                                                            const std::string& identifier) {
    struct stat st {};
    if (::lstat(install.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return std::nullopt;
    if (!holdsOnlyOurs(install)) return std::nullopt;
    if (!isKind(install / kProgram, S_IFLNK)) {
        if (!isOurs(install, identifier)) return std::nullopt;
        return install;
    }
    std::error_code error;
    const auto target = std::filesystem::read_symlink(install / kProgram, error);
    const auto name = error ? std::nullopt : versionNamed(target.string());
    if (!name || !isKind(install / kVersions, S_IFDIR)) return std::nullopt;
    const auto version = install / kVersions / *name;
    if (!isOurs(version, identifier)) return std::nullopt;
    return version;
}

std::optional<std::filesystem::path> InstallFolder::running(const std::string& identifier,
                                                            const std::filesystem::path& executable) {
    std::error_code error;
    const auto real = std::filesystem::canonical(executable, error);
    if (error || real.filename() != "corvane" || real.parent_path().filename() != "bin") return std::nullopt;
    const auto folder = real.parent_path().parent_path();
    const auto install = folder.parent_path().filename() == kVersions ? folder.parent_path().parent_path() : folder;
    // A system prefix is the distribution's to update, never ours, even when it looks like an install folder.
    if (install.empty() || install == install.root_path() || install == "/usr" || install == "/usr/local")
        return std::nullopt;
    if (!isOurs(folder, identifier) || !current(install, identifier)) return std::nullopt;
    return install;
}

std::filesystem::path InstallFolder::programToStart(const std::string& identifier,
                                                    const std::filesystem::path& executable) {
    if (const auto install = running(identifier, executable)) return *install / kProgram;
    std::error_code error;
    const auto real = std::filesystem::canonical(executable, error);
    return error ? executable : real;
}

} // namespace corvane
