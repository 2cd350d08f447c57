#include "engine/session/WakeSignal.hpp"

#include <cerrno>
#include <system_error>

#include <sys/eventfd.h>
#include <unistd.h>

namespace corvane::stream {

WakeSignal::WakeSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

WakeSignal::~WakeSignal() { ::close(fd_); }

void WakeSignal::signal() const {
    // Fails only when the counter is full, which is already a pending wake-up.
    [[maybe_unused]] const int ignored = ::eventfd_write(fd_, 1);
}

void WakeSignal::drain() const {
    eventfd_t value = 0;
    [[maybe_unused]] const int ignored = ::eventfd_read(fd_, &value);
}

} // namespace corvane::stream
