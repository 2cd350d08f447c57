#include "app/updates/UpdateScratch.hpp"

#include "app/services/StaleFiles.hpp"

#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace corvane {
namespace {

int openLocked(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) StaleFiles::lock(fd);
    return fd;
}

} // namespace

UpdateScratch::~UpdateScratch() {
    for (const int fd : {archiveLock_, unpackLock_})
        if (fd >= 0) ::close(fd);
}

bool UpdateScratch::enter() {
    std::lock_guard guard(mutex_);
    if (released_) return false;
    ++running_;
    return true;
}

void UpdateScratch::leave() {
    std::lock_guard guard(mutex_);
    if (--running_ == 0 && released_) remove();
}

void UpdateScratch::lockArchive() {
    const int fd = openLocked(archive_, 0);
    std::lock_guard guard(mutex_);
    if (archiveLock_ >= 0) ::close(archiveLock_);
    archiveLock_ = fd;
}

void UpdateScratch::makeUnpackFolder() {
    std::filesystem::create_directory(unpack_);
    const int fd = openLocked(unpack_, O_DIRECTORY);
    std::lock_guard guard(mutex_);
    if (unpackLock_ >= 0) ::close(unpackLock_);
    unpackLock_ = fd;
}

void UpdateScratch::release() {
    std::lock_guard guard(mutex_);
    released_ = true;
    if (running_ == 0) remove();
}

void UpdateScratch::remove() {
    if (removed_) return;
    removed_ = true;
    std::error_code ignored;
    std::filesystem::remove(archive_, ignored);
    std::filesystem::remove_all(unpack_, ignored);
    for (int* fd : {&archiveLock_, &unpackLock_})
        if (*fd >= 0) ::close(*fd), *fd = -1;
}

} // namespace corvane
