#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// What a child process left behind. `status` is the exit code, the number of the signal that ended it, or
// -1 when it could not be started or its end could not be seen (then `stderr` ends with the reason).
// Output is UTF-8 with bad bytes replaced.
// A child that outlived its time-out has `timedOut` set and never reads as success: a status it would have
// ended with 0 is reported as 124.
struct ProcessResult {
    std::int32_t status = -1;
    std::string stdout;
    std::string stderr;
    bool timedOut = false;

    bool operator==(const ProcessResult&) const = default;
};

} // namespace corvane
