#pragma once
// CPU time of this process's threads, by thread, from the kernel's per-thread clocks. A new thread carries
// the name of the thread that started it: a codec's worker threads carry their creator's name.
#include <sys/types.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace corvane::bench {

struct ThreadCpu {
    pid_t tid = 0;
    std::string name;
    double seconds = 0;
};

inline std::vector<ThreadCpu> threadCpu() {
    std::vector<ThreadCpu> threads;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
        ThreadCpu thread;
        try {
            thread.tid = static_cast<pid_t>(std::stol(entry.path().filename().string()));
        } catch (...) {
            continue;
        }
        std::ifstream(entry.path() / "comm") >> thread.name;
        // The clock of another thread of this process: its id, negated, shifted by three, and "per thread,
        // scheduler time".
        const auto clock = static_cast<clockid_t>((~static_cast<clockid_t>(thread.tid) << 3) | 6);
        timespec t{};
        if (clock_gettime(clock, &t) != 0) continue;  // it ended meanwhile
        thread.seconds = double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
        threads.push_back(std::move(thread));
    }
    return threads;
}

// CPU seconds the threads that `counts` picks spent between two snapshots; a thread started in between
// counts from zero, one that ended in between is lost.
inline double cpuBetween(const std::vector<ThreadCpu>& before, const std::vector<ThreadCpu>& after,
                         const std::function<bool(const ThreadCpu&)>& counts) {
    double sum = 0;
    for (const ThreadCpu& thread : after) {
        if (!counts(thread)) continue;
        const auto earlier = std::find_if(before.begin(), before.end(), [&](const ThreadCpu& t) { return t.tid == thread.tid; });
        sum += thread.seconds - (earlier == before.end() ? 0.0 : earlier->seconds);
    }
    return sum;
}

}  // namespace corvane::bench
