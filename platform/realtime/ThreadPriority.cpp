#include "platform/realtime/ThreadPriority.hpp"

#include "platform/realtime/RealtimeKit.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvane::platform {
namespace {

using Policy = ThreadPriority::Policy;

std::string errnoText(int code) { return std::strerror(code); }

int kernelPolicy(Policy policy) {
    switch (policy) {
    case Policy::fifo: return SCHED_FIFO;
    case Policy::roundRobin: return SCHED_RR;
    case Policy::normal: break;
    }
    return SCHED_OTHER;
}

ThreadPriority::Scheduling currentOf(pid_t thread) {
    ThreadPriority::Scheduling now;
    const int policy = ::sched_getscheduler(thread);
    if (policy >= 0) {
        switch (policy & ~SCHED_RESET_ON_FORK) {
        case SCHED_FIFO: now.policy = Policy::fifo; break;
        case SCHED_RR: now.policy = Policy::roundRobin; break;
        default: break;
        }
        sched_param param{};
        if (now.policy != Policy::normal && ::sched_getparam(thread, &param) == 0) now.priority = param.sched_priority;
    }
    // -1 is also a nice level: only errno tells a failure.
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    if (errno == 0) now.nice = nice;
    return now;
}

// A limit as a number to compare with, unlimited as the largest.
long long limitValue(rlim_t value) {
    return value == RLIM_INFINITY ? std::numeric_limits<long long>::max() : static_cast<long long>(value);
}

class Raise {
public:
    Raise(pid_t thread, const ThreadPriority::Request& request, const ThreadPriority::System& system)
        : thread_(thread), request_(request), system_(system) {
        grant_.thread = thread_;
        grant_.scheduling = system_.current(thread_);
    }

    ThreadPriority::Grant run() {
        const ThreadPriority::Scheduling& now = grant_.scheduling;
        if (now.policy != Policy::normal && now.priority >= request_.realtime) return grant_;
        if (realtimeDirectly() || throughRealtimeKit()) return grant_;
        // A thread that is real-time already keeps that, however low.
        if (grant_.scheduling.policy == Policy::normal) niceDirectly();
        return grant_;
    }

private:
    bool realtimeDirectly() {
        int priority = request_.realtime;
        int error = system_.setScheduler(thread_, Policy::roundRobin, priority);
        // Without privilege, RLIMIT_RTPRIO caps the priority a process may take.
        rlimit limit{};
        if (error == EPERM && system_.getLimit(RLIMIT_RTPRIO, limit) == 0 && limitValue(limit.rlim_cur) >= 1 &&
            limitValue(limit.rlim_cur) < priority) {
            priority = static_cast<int>(limit.rlim_cur);
            error = system_.setScheduler(thread_, Policy::roundRobin, priority);
        }
        if (error != 0) {
            grant_.refused.push_back("real-time directly (" + errnoText(error) + ")");
            return false;
        }
        granted({Policy::roundRobin, priority, grant_.scheduling.nice}, ThreadPriority::Through::kernel);
        return true;
    }

    bool throughRealtimeKit() {
        try {
            RealtimeKit kit(RealtimeKit::Clock::now() + request_.busWait);
            const RealtimeKit::Limits limits = kit.limits();
            if (limits.maxRealtimePriority < 1) {
                grant_.refused.push_back("real-time through RealtimeKit (it grants none)");
            } else if (holdRealtimeTime(limits.rtTimeUSecMax)) {
                const auto priority = static_cast<int>(std::min<std::int64_t>(request_.realtime, limits.maxRealtimePriority));
                try {
                    kit.makeThreadRealtime(static_cast<std::uint64_t>(thread_), static_cast<std::uint32_t>(priority));
                    granted({Policy::roundRobin, priority, grant_.scheduling.nice}, ThreadPriority::Through::realtimeKit);
                    return true;
                } catch (const RealtimeKit::Error& error) {
                    grant_.refused.push_back(std::string("real-time through RealtimeKit (") + error.what() + ")");
                }
            }
            const auto nice = static_cast<int>(std::max<std::int64_t>(request_.nice, limits.minNiceLevel));
            if (grant_.scheduling.policy != Policy::normal || nice >= grant_.scheduling.nice) return false;
            try {
                kit.makeThreadHighPriority(static_cast<std::uint64_t>(thread_), nice);
                granted({Policy::normal, 0, nice}, ThreadPriority::Through::realtimeKit);
                return true;
            } catch (const RealtimeKit::Error& error) {
                grant_.refused.push_back(std::string("nice through RealtimeKit (") + error.what() + ")");
            }
        } catch (const RealtimeKit::Error& error) {
            grant_.refused.push_back(std::string("RealtimeKit (") + error.what() + ")");
        }
        return false;
    }

    // The service hands out real-time only to processes whose RLIMIT_RTTIME, soft and hard, is at most
    // `most`: a thread that runs that long without sleeping ends the process instead of the computer.
    bool holdRealtimeTime(std::int64_t most) {
        rlimit limit{};
        if (most < 1 || system_.getLimit(RLIMIT_RTTIME, limit) != 0) {
            grant_.refused.push_back("real-time through RealtimeKit (no RLIMIT_RTTIME to keep to)");
            return false;
        }
        if (limitValue(limit.rlim_max) <= most && limitValue(limit.rlim_cur) <= most) return true;
        rlimit lowered{};
        lowered.rlim_max = static_cast<rlim_t>(std::min<long long>(limitValue(limit.rlim_max), most));
        lowered.rlim_cur = static_cast<rlim_t>(std::min<long long>(limitValue(limit.rlim_cur), limitValue(lowered.rlim_max)));
        if (const int error = system_.setLimit(RLIMIT_RTTIME, lowered); error != 0) {
            grant_.refused.push_back("real-time through RealtimeKit (RLIMIT_RTTIME not set: " + errnoText(error) + ")");
            return false;
        }
        grant_.rtTimeLimit = static_cast<long long>(lowered.rlim_max);
        return true;
    }

    void niceDirectly() {
        int nice = request_.nice;
        if (nice >= grant_.scheduling.nice) return;
        // Keeps the raised level from the threads this one starts.
        system_.setScheduler(thread_, Policy::normal, 0);
        int error = system_.setNice(thread_, nice);
        // Without privilege, RLIMIT_NICE (20 - the lowest level) says how far a process may go.
        rlimit limit{};
        if ((error == EPERM || error == EACCES) && system_.getLimit(RLIMIT_NICE, limit) == 0 &&
            limitValue(limit.rlim_cur) <= 40) {
            const int lowest = 20 - static_cast<int>(limit.rlim_cur);
            if (lowest > nice && lowest < grant_.scheduling.nice) {
                nice = lowest;
                error = system_.setNice(thread_, nice);
            }
        }
        if (error != 0) {
            grant_.refused.push_back("nice directly (" + errnoText(error) + ")");
            return;
        }
        granted({Policy::normal, 0, nice}, ThreadPriority::Through::kernel);
    }

    void granted(ThreadPriority::Scheduling scheduling, ThreadPriority::Through through) {
        grant_.scheduling = scheduling;
        grant_.through = through;
    }

    const pid_t thread_;
    const ThreadPriority::Request& request_;
    const ThreadPriority::System& system_;
    ThreadPriority::Grant grant_;
};

} // namespace

std::string ThreadPriority::Grant::description() const {
    std::string text;
    switch (scheduling.policy) {
    case Policy::fifo: text = "real-time SCHED_FIFO priority " + std::to_string(scheduling.priority); break;
    case Policy::roundRobin: text = "real-time SCHED_RR priority " + std::to_string(scheduling.priority); break;
    case Policy::normal: text = "nice " + std::to_string(scheduling.nice); break;
    }
    switch (through) {
    case Through::unchanged: text += ", as it was"; break;
    case Through::kernel: text += ", set directly"; break;
    case Through::realtimeKit: text += ", through RealtimeKit"; break;
    }
    if (rtTimeLimit >= 0) text += ", RLIMIT_RTTIME " + std::to_string(rtTimeLimit) + " us";
    for (std::size_t i = 0; i < refused.size(); ++i) text += (i == 0 ? "; refused: " : ", ") + refused[i];
    return text;
}

ThreadPriority::System ThreadPriority::System::kernel() {
    System system;
    system.current = currentOf;
    system.setScheduler = [](pid_t thread, Policy policy, int priority) {
        sched_param param{};
        param.sched_priority = priority;
        return ::sched_setscheduler(thread, kernelPolicy(policy) | SCHED_RESET_ON_FORK, &param) == 0 ? 0 : errno;
    };
    system.setNice = [](pid_t thread, int nice) {
        return ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice) == 0 ? 0 : errno;
    };
    system.getLimit = [](int resource, rlimit& limit) {
        return ::getrlimit(static_cast<__rlimit_resource_t>(resource), &limit) == 0 ? 0 : errno;
    };
    system.setLimit = [](int resource, const rlimit& limit) {
        return ::setrlimit(static_cast<__rlimit_resource_t>(resource), &limit) == 0 ? 0 : errno;
    };
    return system;
}

ThreadPriority::Grant ThreadPriority::raise(pid_t thread, const Request& request, const System& system) {
    return Raise(thread, request, system).run();
}

ThreadPriority::Grant ThreadPriority::raiseCallingThread(const Request& request) {
    return raise(callingThread(), request);
}

pid_t ThreadPriority::callingThread() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

} // namespace corvane::platform
