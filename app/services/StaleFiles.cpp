#include "app/services/StaleFiles.hpp"

#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::StaleFiles {

bool lock(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }

int sweep(const std::filesystem::path& folder, const std::function<bool(std::string_view name)>& ours) {
    int removed = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const auto path = it->path();
        if (!ours(path.filename().string())) continue;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || st.st_uid != ::getuid()) continue;
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
        const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0);
        const int fd = ::open(path.c_str(), flags);
        if (fd < 0) continue;
        std::error_code failed;
        if (lock(fd) && std::filesystem::remove_all(path, failed) > 0 && !failed) ++removed;
        ::close(fd);
    }
    return removed;
}

} // namespace corvane::StaleFiles
