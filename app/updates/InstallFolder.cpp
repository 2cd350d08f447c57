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

std::optional<std::filesystem::path> InstallFolder::running(const std::string& identifier,
                                                            const std::filesystem::path& executable) {
    std::error_code error;
    const auto real = std::filesystem::canonical(executable, error);
    if (error || real.filename() != "corvane" || real.parent_path().filename() != "bin") return std::nullopt;
    const auto folder = real.parent_path().parent_path();
    // A system prefix is the distribution's to update, never ours, even when it looks like an install folder.
    if (folder.empty() || folder == folder.root_path() || folder == "/usr" || folder == "/usr/local")
        return std::nullopt;
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || st.st_uid != ::getuid()) return std::nullopt;
    if (!isOurs(folder, identifier)) return std::nullopt;
    return folder;
}

} // namespace corvane
