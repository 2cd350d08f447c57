#pragma once

// The kernel's side of ThreadPriority as a process without privilege meets it: real-time up to
// RLIMIT_RTPRIO, nice levels down to 20 - RLIMIT_NICE, everything when privileged. It records each change
// it is asked for ("scheduler rr 8", "nice -15", "limit rttime 150000/150000") and changes nothing real,
// except the limits when `realLimits` (so that a service reading /proc sees them).

#include "platform/realtime/ThreadPriority.hpp"

#include <cerrno>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace corvane::test {

struct FakeKernel {
    using Policy = platform::ThreadPriority::Policy;

    bool privileged = false;
    platform::ThreadPriority::Scheduling now;
    rlim_t rtprio = 0;
    rlim_t nice = 0;
    rlimit rttime{RLIM_INFINITY, RLIM_INFINITY};
    bool realLimits = false;
    std::vector<std::string> calls;

    platform::ThreadPriority::System system() {
        platform::ThreadPriority::System system;
        system.current = [this](pid_t) { return now; };
        system.setScheduler = [this](pid_t, Policy policy, int priority) {
            const char* name = policy == Policy::normal ? "normal" : policy == Policy::fifo ? "fifo" : "rr";
            calls.push_back(std::string("scheduler ") + name + " " + std::to_string(priority));
            if (policy != Policy::normal && !privileged && static_cast<rlim_t>(priority) > rtprio) return EPERM;
            now.policy = policy;
            now.priority = priority;
            return 0;
        };
        system.setNice = [this](pid_t, int level) {
            calls.push_back("nice " + std::to_string(level));
            if (!privileged && level < 20 - static_cast<int>(nice)) return EACCES;
            now.nice = level;
            return 0;
        };
        system.getLimit = [this](int resource, rlimit& limit) {
            if (realLimits) return ::getrlimit(static_cast<__rlimit_resource_t>(resource), &limit) == 0 ? 0 : errno;
            limit = resource == RLIMIT_RTPRIO ? rlimit{rtprio, rtprio}
                  : resource == RLIMIT_NICE  ? rlimit{nice, nice}
                                             : rttime;
            return 0;
        };
        system.setLimit = [this](int resource, const rlimit& limit) {
            calls.push_back("limit " + std::string(resource == RLIMIT_RTTIME ? "rttime " : "other ") +
                            std::to_string(limit.rlim_cur) + "/" + std::to_string(limit.rlim_max));
            if (realLimits) return ::setrlimit(static_cast<__rlimit_resource_t>(resource), &limit) == 0 ? 0 : errno;
            if (resource == RLIMIT_RTTIME) rttime = limit;
            return 0;
        };
        return system;
    }
};

}  // namespace corvane::test
