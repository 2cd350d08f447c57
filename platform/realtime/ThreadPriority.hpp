#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

namespace corvane::platform {

// Scheduling for a thread that has to keep time on a busy computer, such as one that receives, decodes or
// plays sound. It asks, in this order, for what a desktop grants to sound:
//   1. real-time (SCHED_RR) directly, where the process may (root, CAP_SYS_NICE, or within RLIMIT_RTPRIO);
//   2. through RealtimeKit on the system bus: real-time within the service's MaxRealtimePriority, after
//      lowering the process's RLIMIT_RTTIME to its RTTimeUSecMax as it requires (a real-time thread that
//      runs that long without sleeping ends the process); else a nice level down to its MinNiceLevel;
//   3. a nice level directly (root, or within RLIMIT_NICE).
// It never lowers what the thread already has. Threads the raised thread starts later get normal
// scheduling (SCHED_RESET_ON_FORK), so a codec's worker threads do not inherit it.
//
// raise() returns what was granted, through what, and what was refused on the way, for the caller's log.
// It blocks for at most `busWait` on the bus; with no system bus at all it costs one failed connect.
class ThreadPriority final {
public:
    enum class Policy { normal, fifo, roundRobin };
    enum class Through { unchanged, kernel, realtimeKit };

    struct Request {
        int realtime = 0;  // the real-time priority asked for, 1...99; lowered to what is allowed
        int nice = 0;      // the nice level asked for when real-time is refused, -20...0; raised to what is allowed
        std::chrono::milliseconds busWait{2000};
    };

    struct Scheduling {
        Policy policy = Policy::normal;
        int priority = 0;  // real-time priority; 0 when normal
        int nice = 0;
        bool operator==(const Scheduling&) const = default;
    };

    struct Grant {
        pid_t thread = 0;
        Scheduling scheduling;  // what the thread has now
        Through through = Through::unchanged;
        long long rtTimeLimit = -1;        // RLIMIT_RTTIME (microseconds) set on the way; -1 when untouched
        std::vector<std::string> refused;  // "what (why)", in the order asked
        // "real-time SCHED_RR priority 10, set directly" / "nice -15, through RealtimeKit, RLIMIT_RTTIME
        // 200000 us; refused: ..." / "nice 0, as it was; refused: ...".
        std::string description() const;
    };

    // The system's calls, replaceable by tests. Those returning int give 0 or an errno value.
    struct System {
        std::function<Scheduling(pid_t thread)> current;
        // Sets the policy with SCHED_RESET_ON_FORK; `priority` is 0 for normal.
        std::function<int(pid_t thread, Policy policy, int priority)> setScheduler;
        std::function<int(pid_t thread, int nice)> setNice;
        std::function<int(int resource, rlimit& limit)> getLimit;
        std::function<int(int resource, const rlimit& limit)> setLimit;

        static System kernel();
    };

    static Grant raise(pid_t thread, const Request& request, const System& system = System::kernel());
    static Grant raiseCallingThread(const Request& request);

    // The kernel's id of the calling thread.
    static pid_t callingThread();
};

} // namespace corvane::platform
