#include "app/updates/InstallFolder.hpp"

#include "app/updates/SmallFile.hpp"

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

// Whether every folder from `install` down to `install`/`relative` is a real folder, no link among them.
bool realFolders(const std::filesystem::path& install, const std::filesystem::path& relative) {
    auto path = install;
    if (!isKind(path, S_IFDIR)) return false;
    for (const auto& part : relative)
        if (!isKind(path /= part, S_IFDIR)) return false;
    return true;
}

// A folder this user owns and may write.
bool writable(const std::filesystem::path& folder) {
    struct stat st {};
    return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           ::access(folder.c_str(), W_OK) == 0;
}

} // namespace

bool InstallFolder::madeName(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix) || name.size() != prefix.size() + 36) return false;
    const auto uuid = name.substr(prefix.size());
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        const char c = uuid[i];
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen != (c == '-') || (!hyphen && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))) return false;
    }
    return true;
}

std::optional<std::string> InstallFolder::identifierOf(const std::filesystem::path& folder) {
    if (!isKind(folder, S_IFDIR) || !isKind(folder / "bin", S_IFDIR) || !isKind(folder / "share", S_IFDIR) ||
        !isKind(folder / "share/corvane", S_IFDIR) || !isKind(folder / kProgram, S_IFREG) ||
        !isKind(folder / kAppInfo, S_IFREG))
        return std::nullopt;
    struct stat program {};
    if (::lstat((folder / kProgram).c_str(), &program) != 0 || (program.st_mode & S_IXUSR) == 0) return std::nullopt;
    return appInfoIdentifier(folder / kAppInfo);
}

std::optional<std::string> InstallFolder::appInfoIdentifier(const std::filesystem::path& file) {
    if (!isKind(file, S_IFREG)) return std::nullopt;
    const auto text = SmallFile::read(file, kMaxAppInfoBytes);
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

std::optional<InstallFolder::Link> InstallFolder::linkNamed(const std::string& target) {
    const std::string tail = std::string("/") + kProgram;
    for (const char* versions : {kVersions, kEarlierVersions}) {
        const std::string head = std::string("../") + versions + "/";
        if (!target.starts_with(head) || !target.ends_with(tail) || target.size() <= head.size() + tail.size()) continue;
        const std::string name = target.substr(head.size(), target.size() - head.size() - tail.size());
        if (name == "." || name == ".." || name.find('/') != std::string::npos) return std::nullopt;
        return Link{versions, name};
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> InstallFolder::current(const std::filesystem::path& install,
                                                            const std::string& identifier) {
    if (!isKind(install, S_IFDIR)) return std::nullopt;
    if (isKind(install / kProgram, S_IFREG)) {
        if (!isOurs(install, identifier)) return std::nullopt;
        return install;
    }
    if (!isKind(install / kProgram, S_IFLNK)) return std::nullopt;
    std::error_code error;
    const auto target = std::filesystem::read_symlink(install / kProgram, error);
    const auto link = error ? std::nullopt : linkNamed(target.string());
    if (!link || !realFolders(install, link->versions)) return std::nullopt;
    const auto version = install / link->versions / link->name;
    if (!isOurs(version, identifier)) return std::nullopt;
    return version;
}

std::optional<std::filesystem::path> InstallFolder::running(const std::string& identifier,
                                                            const std::filesystem::path& executable) {
    std::error_code error;
    const auto real = std::filesystem::canonical(executable, error);
    if (error || real.filename() != "corvane" || real.parent_path().filename() != "bin") return std::nullopt;
    const auto folder = real.parent_path().parent_path();
    if (!isOurs(folder, identifier)) return std::nullopt;
    // A version of a prefix, in the app's own place or where an earlier release kept it; else a plain install.
    const auto versions = folder.parent_path();
    std::optional<std::filesystem::path> install;
    if (versions.filename() == "corvane" && versions.parent_path().filename() == "lib")
        install = versions.parent_path().parent_path();
    else if (versions.filename() == kEarlierVersions)
        install = versions.parent_path();
    if (install && !install->empty() && current(*install, identifier) == folder) return install;
    if (current(folder, identifier) == folder) return folder;
    return std::nullopt;
}

std::optional<InstallFolder::Obstacle> InstallFolder::obstacle(const std::filesystem::path& install) {
    auto normal = install.lexically_normal();
    if (!normal.has_filename()) normal = normal.parent_path();
    // The distribution's prefix: its package manager keeps what is there.
    if (normal == "/usr" || normal == normal.root_path()) return Obstacle{install / "bin", true};
    if (!writable(install / "bin")) return Obstacle{install / "bin"};
    struct stat program {};
    if (::lstat((install / kProgram).c_str(), &program) != 0 || program.st_uid != ::getuid())
        return Obstacle{install / "bin"};
    // The update makes lib/corvane, or lib too where the prefix has none.
    for (const auto& folder : {install / kVersions, install / "lib", install}) {
        struct stat st {};
        if (::lstat(folder.c_str(), &st) != 0) continue;
        if (!writable(folder)) return Obstacle{folder};
        break;
    }
    return std::nullopt;
}

std::filesystem::path InstallFolder::programToStart(const std::string& identifier,
                                                    const std::filesystem::path& executable) {
    if (const auto install = running(identifier, executable)) return *install / kProgram;
    std::error_code error;
    const auto real = std::filesystem::canonical(executable, error);
    return error ? executable : real;
}

} // namespace corvane
