#include "app/updates/FolderSwap.hpp"

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

} // namespace

bool FolderSwap::replace(const std::filesystem::path& replacement, const std::filesystem::path& installed,
                         const FailStep& failStep) {
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
    std::error_code error;
    for (int n = 2; std::filesystem::exists(std::filesystem::symlink_status(aside, error)); ++n) {
        aside = installed;
        aside += ".old" + std::to_string(n);
    }
    if (failing(1) || std::rename(installed.c_str(), aside.c_str()) != 0) return false;
    if (failing(2) || std::rename(replacement.c_str(), installed.c_str()) != 0) {
        std::rename(aside.c_str(), installed.c_str());
        return false;
    }
    // The old folder takes the replacement's place, as after an exchange.
    if (std::rename(aside.c_str(), replacement.c_str()) != 0) std::filesystem::remove_all(aside, error);
    return true;
}

} // namespace corvane
