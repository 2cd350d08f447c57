#include "app/updates/InstallFolder.hpp"

#include "app/updates/SmallFile.hpp"

#include <cstdlib>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/statvfs.h>
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

using Why = InstallFolder::Obstacle::Why;

// Whether `user` may go into the folder `st` describes: its owner needs its x bit (root too, as the user it
// stands for), the running user the system's word.
bool searchable(const std::filesystem::path& folder, const struct stat& st, uid_t user) {
    if (st.st_uid == user && (st.st_mode & S_IXUSR) == 0) return false;
    return user != ::getuid() || ::access(folder.c_str(), X_OK) == 0;
}

// Why `user` may not write in `folder`; nothing when they may.
std::optional<Why> cannotWrite(const std::filesystem::path& folder, uid_t user) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) return Why::notFolder;
    if (S_ISLNK(st.st_mode)) return Why::link;
    if (!S_ISDIR(st.st_mode)) return Why::notFolder;
    if (st.st_uid != user) return Why::otherUser;
    struct statvfs mount {};
    if ((st.st_mode & S_IWUSR) == 0 || (::statvfs(folder.c_str(), &mount) == 0 && (mount.f_flag & ST_RDONLY) != 0) ||
        (user == ::getuid() && ::access(folder.c_str(), W_OK) != 0))
        return Why::readOnly;
    if (!searchable(folder, st, user)) return Why::closed;
    return std::nullopt;
}

// A plain install's program: a regular executable file in a real bin/, and an app-info.json naming the app (the
// folders on the way to it may be links: the update writes nothing there).
bool plainInstall(const std::filesystem::path& folder, const std::string& identifier) {
    struct stat program {};
    return isKind(folder / "bin", S_IFDIR) && ::lstat((folder / InstallFolder::kProgram).c_str(), &program) == 0 &&
           S_ISREG(program.st_mode) && (program.st_mode & S_IXUSR) != 0 &&
           InstallFolder::appInfoIdentifier(folder / InstallFolder::kAppInfo) == identifier;
}

// Whether a name is one a switch gives a version: a version found under it is never a plain install.
bool versionName(const std::string& name) { return InstallFolder::madeName(name, ""); }

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

std::optional<std::filesystem::path> InstallFolder::libFolder(const std::filesystem::path& install) {
    const auto lib = install / "lib";
    if (isKind(lib, S_IFDIR)) return lib;
    if (!isKind(lib, S_IFLNK)) return std::nullopt;
    std::error_code error;
    const auto target = std::filesystem::read_symlink(lib, error);
    // A name alone: the folder beside it, never one up or elsewhere.
    if (error || target.empty() || target.has_parent_path() || target.is_absolute() || target == "." || target == ".." ||
        target == "lib")
        return std::nullopt;
    if (!isKind(install / target, S_IFDIR)) return std::nullopt;
    return install / target;
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
    if (!link) return std::nullopt;
    if (link->versions == kVersions ? !libFolder(install) || !isKind(install / kVersions, S_IFDIR)
                                    : !realFolders(install, link->versions))
        return std::nullopt;
    const auto version = install / link->versions / link->name;
    if (!isOurs(version, identifier)) return std::nullopt;
    return version;
}

std::optional<std::filesystem::path> InstallFolder::running(const std::string& identifier,
                                                            const std::filesystem::path& executable) {
    std::error_code error;
    const auto real = std::filesystem::canonical(executable, error);
    if (error) return std::nullopt;
    const auto folder = real.parent_path().parent_path();
    // Started as <prefix>/bin/corvane: that prefix, wherever its bin or lib leads, when its program is the link a
    // switch writes or a plain install's (not a version's: that belongs to the prefix around it).
    std::optional<std::filesystem::path> started;
    bool startedPlain = false;
    struct stat program {};
    if (executable.is_absolute() && executable.filename() == "corvane" && executable.parent_path().filename() == "bin" &&
        ::lstat(executable.c_str(), &program) == 0) {
        const auto prefix = executable.parent_path().parent_path();
        std::error_code unread;
        if (S_ISLNK(program.st_mode) && linkNamed(std::filesystem::read_symlink(executable, unread).string()) && !unread)
            started = prefix;
        else if (S_ISREG(program.st_mode) && (program.st_mode & S_IXUSR) != 0 && !versionName(prefix.filename().string()) &&
                 appInfoIdentifier(prefix / kAppInfo) == identifier)
            started = prefix, startedPlain = true;
    }
    const bool ours = real.filename() == "corvane" && real.parent_path().filename() == "bin" && isOurs(folder, identifier);
    if (started && !startedPlain && ours) return started;
    if (ours) {
        // A version of a prefix, in the app's own place (through lib's link, when lib is one) or where an earlier
        // release kept it, named as the prefix's link names it.
        const auto versions = folder.parent_path();
        std::optional<std::filesystem::path> install;
        std::filesystem::path named;
        if (versions.filename() == "corvane" && libFolder(versions.parent_path().parent_path()) == versions.parent_path()) {
            install = versions.parent_path().parent_path();
            named = *install / kVersions / folder.filename();
        } else if (versions.filename() == kEarlierVersions) {
            install = versions.parent_path();
            named = folder;
        }
        if (install && !install->empty() && current(*install, identifier) == named) return install;
    }
    if (startedPlain) return started;
    if (real.filename() != "corvane" || real.parent_path().filename() != "bin") return std::nullopt;
    // Else a plain install; a version found elsewhere (its prefix's lib leads out of it) is none.
    if (!versionName(folder.filename().string()) && plainInstall(folder, identifier)) return folder;
    return std::nullopt;
}

std::filesystem::path InstallFolder::startedAs(const std::string& argv0, const std::filesystem::path& executable) {
    std::error_code error;
    const auto real = std::filesystem::canonical(executable, error);
    if (error || argv0.empty()) return executable;
    std::vector<std::filesystem::path> candidates;
    if (argv0.find('/') != std::string::npos) {
        candidates.push_back(std::filesystem::absolute(argv0, error).lexically_normal());
    } else if (const char* path = std::getenv("PATH")) {
        std::string_view rest(path);
        while (true) {
            const auto end = rest.find(':');
            const std::string_view entry = rest.substr(0, end);
            // An empty entry is the current folder.
            candidates.push_back(std::filesystem::absolute(entry.empty() ? "." : entry, error) / argv0);
            if (end == std::string_view::npos) break;
            rest.remove_prefix(end + 1);
        }
    }
    for (const auto& candidate : candidates) {
        if (::access(candidate.c_str(), X_OK) != 0) continue;
        // The first one a shell would run: the same file or none.
        return std::filesystem::canonical(candidate, error) == real && !error ? candidate : executable;
    }
    return executable;
}

std::optional<InstallFolder::Obstacle> InstallFolder::obstacle(const std::filesystem::path& install, uid_t user) {
    auto normal = install.lexically_normal();
    if (!normal.has_filename()) normal = normal.parent_path();
    // The distribution's prefix: its package manager keeps what is there.
    if (normal == "/usr" || normal == normal.root_path()) return Obstacle{install / "bin", Why::system};
    const auto bin = install / "bin";
    struct stat st {};
    if (::lstat((install / kProgram).c_str(), &st) != 0) return Obstacle{bin, Why::programMissing};
    if (const auto why = cannotWrite(bin, user)) return Obstacle{bin, *why};
    if (st.st_uid != user) return Obstacle{bin, Why::programOtherUser};
    // The update makes lib/corvane, or lib too where the prefix has none.
    const auto lib = install / "lib";
    if (::lstat(lib.c_str(), &st) != 0) {
        if (const auto why = cannotWrite(install, user)) return Obstacle{install, *why};
        return std::nullopt;
    }
    const auto real = libFolder(install);
    if (!real) {
        // lib -> lib64 where lib64 itself leads elsewhere: the link at fault is lib64.
        std::error_code error;
        const auto target = S_ISLNK(st.st_mode) ? std::filesystem::read_symlink(lib, error) : std::filesystem::path();
        struct stat beside {};
        if (!error && !target.empty() && !target.has_parent_path() && target != "." && target != ".." &&
            ::lstat((install / target).c_str(), &beside) == 0 && S_ISLNK(beside.st_mode))
            return Obstacle{install / target, Why::link};
        return Obstacle{lib, S_ISLNK(st.st_mode) ? Why::link : Why::notFolder};
    }
    const auto versions = install / kVersions;
    if (::lstat(versions.c_str(), &st) != 0) {
        if (const auto why = cannotWrite(*real, user)) return Obstacle{*real, *why};
        return std::nullopt;
    }
    // The update goes through lib into lib/corvane.
    struct stat libStat {};
    if (::lstat(real->c_str(), &libStat) == 0 && !searchable(*real, libStat, user)) return Obstacle{*real, Why::closed};
    if (const auto why = cannotWrite(versions, user)) return Obstacle{versions, *why};
    return std::nullopt;
}

InstallFolder::Obstacle InstallFolder::notInstalled(const std::filesystem::path& executable) {
    std::error_code error;
    const auto real = std::filesystem::canonical(executable, error);
    return Obstacle{error ? executable.parent_path() : real.parent_path(), Why::notInstalled};
}

std::string InstallFolder::Obstacle::text() const {
    const char* because = "";
    switch (why) {
    case Why::system: because = "that folder is the system's."; break;
    case Why::link: because = "that is a link to a place Corvane does not update."; break;
    case Why::notFolder: because = "that is not a folder."; break;
    case Why::otherUser: because = "that folder belongs to another user."; break;
    case Why::readOnly: because = "that folder is read-only."; break;
    case Why::closed: because = "that folder's permissions keep its owner out."; break;
    case Why::programMissing: because = "its program corvane is not there."; break;
    case Why::programOtherUser: because = "its program corvane there belongs to another user."; break;
    case Why::notInstalled: because = "it does not run from a folder it was installed in."; break;
    }
    return "Corvane can't update itself in " + folder.string() + ": " + because;
}

std::filesystem::path InstallFolder::programToStart(const std::string& identifier,
                                                    const std::filesystem::path& executable) {
    if (const auto install = running(identifier, executable)) return *install / kProgram;
    std::error_code error;
    const auto real = std::filesystem::canonical(executable, error);
    return error ? executable : real;
}

} // namespace corvane
