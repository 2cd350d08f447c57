#pragma once

namespace corvane::stream {

// Wakes a thread that sleeps in poll(): any thread calls signal(), the sleeping thread polls fd() for
// reading beside its sockets and calls drain() once woken. Signals made before the wait are not lost; any
// number of them before one drain() wake it once. Backed by an eventfd.
class WakeSignal final {
public:
    // Throws std::system_error when no eventfd can be made.
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // Any thread; never blocks, takes no lock.
    void signal() const;
    // The thread that waits: clears the signal.
    void drain() const;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

} // namespace corvane::stream
