#include "app/updates/VersionSwitch.hpp"

#include "app/services/StaleFiles.hpp"
#include "app/updates/InstallFolder.hpp"
#include "app/updates/SmallFile.hpp"
#include "platform/core/Error.hpp"

#include <QUuid>

#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

struct Fd {
    int fd;
    explicit Fd(int fd) : fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// The system refused `step` in `folder` with `error` (an errno).
[[noreturn]] void refused(const std::string& step, const std::filesystem::path& folder, int error) {
    throw VersionSwitch::Failed(step + ": " + std::strerror(error), folder, error);
}

// Removes one entry of a folder this user owns: a file or link, or a folder with what it holds unless a
// process holds its lock (an update unpacking into it, another tidy-up removing it). A folder is first renamed
// into `versions` under a name of the tidy-up's own, so that a kill part way never leaves a half-removed
// folder under a name nothing recognises: the next tidy-up finishes it. True when it went.
bool removeUnheld(const std::filesystem::path& path, const std::filesystem::path& versions) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || st.st_uid != ::getuid()) return false;
    if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
    const Fd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.fd < 0 || !StaleFiles::lock(folder.fd)) return false;
    auto removing = path;
    if (!InstallFolder::madeName(path.filename().string(), InstallFolder::kRemovingPrefix)) {
        removing = versions / (InstallFolder::kRemovingPrefix +
                               QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString());
        if (::rename(path.c_str(), removing.c_str()) != 0) return false;
    }
    std::error_code error;
    return std::filesystem::remove_all(removing, error) > 0 && !error;
}

bool isFolder(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isLink(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Whether `folder` holds no names but `allowed`.
bool holdsOnly(const std::filesystem::path& folder, const std::set<std::string>& allowed) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (!allowed.contains(it->path().filename().string())) return false;
    return !error;
}

} // namespace

std::filesystem::path VersionSwitch::versionsOf(const std::filesystem::path& install) {
    const auto lib = install / "lib";
    const auto versions = install / InstallFolder::kVersions;
    for (const auto& folder : {lib, versions})
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            const int error = errno;  // before the text is made
            refused("cannot make " + folder.string(), folder, error);
        }
    struct stat st {};
    if (!InstallFolder::libFolder(install)) throw Failed(lib.string() + " is not a folder beside it", lib, ENOTDIR);
    if (::lstat(versions.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        throw Failed(versions.string() + " is not a folder of this user", versions, S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR);
    return versions;
}

void VersionSwitch::install(const std::filesystem::path& app, const std::filesystem::path& install, const StepHook& step) {
    const auto failing = [&](int number) {
        if (!step || !step(number)) return false;
        errno = EIO;
        return true;
    };
    const auto program = install / InstallFolder::kProgram;
    const auto bin = install / "bin";
    struct stat st {};
    if (::lstat(program.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
        throw Failed("no program to replace at " + program.string(), bin, ENOENT);
    const std::string name = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    const auto versions = install / InstallFolder::kVersions;
    const auto version = versions / name;
    const auto link = bin / (InstallFolder::kLinkPrefix + name);
    // Held until the switch is over, so that a tidy-up elsewhere never takes the version it is putting in.
    const Fd held(::open(app.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (held.fd < 0) {
        const int error = errno;
        refused("cannot open " + app.string(), app.parent_path(), error);
    }
    StaleFiles::lock(held.fd);
    const auto putBack = [&] {
        std::error_code error;
        if (::rename(version.c_str(), app.c_str()) != 0) std::filesystem::remove_all(version, error);
    };

    if (failing(1) || ::rename(app.c_str(), version.c_str()) != 0) {
        const int error = errno;
        refused("cannot move the new version to " + version.string(), versions, error);
    }
    const std::string target = std::string("../") + InstallFolder::kVersions + "/" + name + "/" + InstallFolder::kProgram;
    if (failing(2) || ::symlink(target.c_str(), link.c_str()) != 0) {
        const int error = errno;
        putBack();
        refused("cannot make the link " + link.string(), bin, error);
    }
    // The new files and the renames that lead to them reach the disk before the link takes the program's
    // place: a power cut right after the switch never starts empty files.
    if (const Fd folder(::open(install.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); folder.fd >= 0) ::syncfs(folder.fd);
    if (failing(3) || ::rename(link.c_str(), program.c_str()) != 0) {
        const int error = errno;
        ::unlink(link.c_str());
        putBack();
        refused("cannot put the link in place of " + program.string(), bin, error);
    }
    if (const Fd folder(::open(bin.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); folder.fd >= 0) ::fsync(folder.fd);
    failing(4);
}

int VersionSwitch::tidy(const std::filesystem::path& install, const std::string& identifier) {
    const auto current = InstallFolder::current(install, identifier);
    if (!current) return 0;
    const bool switched = *current != install;
    int removed = 0;
    std::error_code error;
    // Only the links a switch makes: a name of ours leading to a version.
    for (std::filesystem::directory_iterator it(install / "bin", error), end; !error && it != end; it.increment(error)) {
        if (!it->path().filename().string().starts_with(InstallFolder::kLinkPrefix) || !isLink(it->path())) continue;
        std::error_code unread;
        const auto target = std::filesystem::read_symlink(it->path(), unread);
        if (!unread && InstallFolder::linkNamed(target.string()) && ::unlink(it->path().c_str()) == 0) ++removed;
    }
    // In the places versions are kept, only versions of this app, unpack folders and what a tidy-up cut short
    // was removing: the app puts nothing else there. An earlier release's .versions/ may sit in a folder
    // shared with other programs, so there only the names that release gave its unpack folders.
    for (const auto& versions : {install / InstallFolder::kVersions, install / InstallFolder::kEarlierVersions}) {
        const bool own = versions == install / InstallFolder::kVersions;
        const bool held = own ? InstallFolder::libFolder(install).has_value() : isFolder(versions.parent_path());
        if (!held || !isFolder(versions)) continue;
        bool tookOne = false;
        for (std::filesystem::directory_iterator it(versions, error), end; !error && it != end; it.increment(error)) {
            const auto& path = it->path();
            const auto name = path.filename().string();
            if (path == *current) continue;
            const bool unpacked = own ? name.starts_with(InstallFolder::kUnpackPrefix)
                                      : InstallFolder::madeName(name, InstallFolder::kUnpackPrefix);
            if ((unpacked || InstallFolder::madeName(name, InstallFolder::kRemovingPrefix) ||
                 InstallFolder::isOurs(path, identifier)) &&
                removeUnheld(path, versions))
                ++removed, tookOne = true;
        }
        error.clear();
        // Once empty: lib/corvane is the app's own; a .versions folder only when it held the app.
        if (tookOne || own) ::rmdir(versions.c_str());
    }
    if (!switched) return removed;
    // What the prefix's plain install held for its program, when it holds nothing an install does not put there.
    // It goes by way of the folder holding the current version; where it cannot be renamed there, it stays.
    const auto share = install / "share/corvane";
    if (isFolder(install / "share") && isFolder(share) && holdsOnly(share, {"app-info.json", "icons", "Acknowledgements"}) &&
        InstallFolder::appInfoIdentifier(install / InstallFolder::kAppInfo) == identifier &&
        removeUnheld(share, current->parent_path()))
        ++removed;
    return removed;
}

bool VersionSwitch::remember(const std::filesystem::path& journal, const std::filesystem::path& install) {
    std::error_code error;
    std::filesystem::create_directories(journal.parent_path(), error);
    const std::string text = install.string() + '\0';
    auto temporary = journal;
    temporary += ".part";
    const Fd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (out.fd < 0) return false;
    const bool written = ::write(out.fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(out.fd) == 0;
    if (written && ::rename(temporary.c_str(), journal.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

std::optional<std::filesystem::path> VersionSwitch::remembered(const std::filesystem::path& journal) {
    const auto text = SmallFile::read(journal, 4096 + 1);
    if (!text || text->size() < 2 || text->back() != '\0' || text->find('\0') != text->size() - 1 || text->front() != '/')
        return std::nullopt;
    return std::filesystem::path(text->substr(0, text->size() - 1));
}

} // namespace corvane
