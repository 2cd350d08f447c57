#pragma once

#include <chrono>
#include <optional>

namespace corvane::platform {

// Short turns for a thread that must answer quickly while other threads keep every core busy, such as the
// main thread of a window whose timers and events have to come on time. Linux's fair scheduler, from 6.12
// on, takes a time slice of a thread's own (sched_setattr's sched_runtime with SCHED_OTHER): a thread with
// a short slice that wakes gets a processor within about that time, instead of after the rest of a busy
// thread's turn; its share of the processor stays what it was. Older kernels take the request and leave
// everything as it was. Nothing here needs a privilege.
namespace TimeSlice {

// Asks for turns of `slice` for the calling thread. Answers the slice the kernel reports afterwards, or
// none where it reports none (a kernel without slices of a thread's own) or refused the request.
std::optional<std::chrono::microseconds> shortenCallingThread(std::chrono::microseconds slice);

}  // namespace TimeSlice

}  // namespace corvane::platform
