#include "app/updates/FolderSwap.hpp"

#include "app/updates/SmallFile.hpp"

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace corvane {
namespace {

int exchange(const std::filesystem::path& a, const std::filesystem::path& b) {
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE));
}

bool present(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

// "<installed>\0<aside>\0", on disk before the first rename.
bool writeJournal(const std::filesystem::path& journal, const std::filesystem::path& installed,
                  const std::filesystem::path& aside) {
    if (journal.empty()) return true;
    std::error_code error;
    std::filesystem::create_directories(journal.parent_path(), error);
    const std::string text = installed.string() + '\0' + aside.string() + '\0';
    auto temporary = journal;
    temporary += ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (written && std::rename(temporary.c_str(), journal.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

} // namespace

bool FolderSwap::replace(const std::filesystem::path& replacement, const std::filesystem::path& installed,
                         const FailStep& failStep, const std::filesystem::path& journal) {
    auto failing = [&](int step) { return failStep && failStep(step); };
    // The new files reach the disk before they take the installed name: a power cut right after the swap
    // never leaves empty files in the app.
    if (const int folder = ::open(replacement.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
        ::syncfs(folder);
        ::close(folder);
    }
    if (!failing(0)) {
        if (exchange(replacement, installed) == 0) return true;
        // Only a file system without the exchange takes the slower way; any other error (a missing folder,
        // another file system, no permission) means the swap cannot happen at all.
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    }

    auto aside = installed;
    aside += ".old";
    for (int n = 2; present(aside); ++n) {
        aside = installed;
        aside += ".old" + std::to_string(n);
    }
    if (!present(installed) || !writeJournal(journal, installed, aside)) return false;
    bool swapped = false;
    if (!failing(1) && std::rename(installed.c_str(), aside.c_str()) == 0) {
        swapped = !failing(2) && std::rename(replacement.c_str(), installed.c_str()) == 0;
        std::error_code error;
        if (!swapped) std::rename(aside.c_str(), installed.c_str());
        // The old folder takes the replacement's place, as after an exchange.
        else if (failing(3) || std::rename(aside.c_str(), replacement.c_str()) != 0)
            std::filesystem::remove_all(aside, error);
    }
    if (!journal.empty()) ::unlink(journal.c_str());
    return swapped;
}

std::optional<std::filesystem::path> FolderSwap::repair(const std::filesystem::path& journal,
                                                        const std::function<bool(const std::filesystem::path&)>& isOurs) {
    const auto text = SmallFile::read(journal, 2 * 4096 + 2);
    if (!text) return std::nullopt;
    std::optional<std::filesystem::path> putBack;
    const auto split = text->find('\0');
    if (split != std::string::npos && text->size() > split + 1 && text->back() == '\0') {
        const std::filesystem::path installed = text->substr(0, split);
        const std::filesystem::path aside = text->substr(split + 1, text->size() - split - 2);
        std::error_code error;
        if (isOurs(aside) && present(installed)) std::filesystem::remove_all(aside, error);
        else if (isOurs(aside) && std::rename(aside.c_str(), installed.c_str()) == 0) putBack = installed;
    }
    ::unlink(journal.c_str());
    return putBack;
}

} // namespace corvane
