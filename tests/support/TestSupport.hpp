#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include "platform/core/Bytes.hpp"

namespace corvane::test {

// A loopback address of this test's own (127.x.y.z), different for every call in the process and, through
// the process id, for every test program running beside it, so servers can bind the real port numbers.
std::string uniqueLoopbackAddress();

// A new empty folder, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The output of a shell command (standard output only) and its exit status.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::string& command);

// A file's whole content ("" when it cannot be read).
std::string readWhole(const std::filesystem::path& file);
// A shell script only the owner may run: "#!/bin/sh" and then `body`.
void writeScript(const std::filesystem::path& file, const std::string& body);
// How many of this process's threads carry the name `name`.
std::size_t threadsNamed(const std::string& name);
// The kernel's struct sched_attr (first version), for tests that read a thread's scheduling with the kernel's
// own calls, apart from the code under test.
struct SchedAttr {
    std::uint32_t size, policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime, deadline, period;  // runtime: a fair thread's slice, in nanoseconds
};
// The slice the kernel reports for thread `tid` (0: the calling one), sched_attr's sched_runtime in
// nanoseconds; 0 when unknown.
std::uint64_t reportedSlice(long tid = 0);
// Whether this kernel keeps a slice of a thread's own (Linux 6.12 on): a thread of the caller's own asks for
// one with the kernel's call and reads it back. Older kernels take the request and report none or their default.
bool kernelKeepsThreadSlices();

// Upper-case hexadecimal, two digits a byte, for comparing wire bytes with the documents' tables.
std::string hexOf(ByteView bytes);

// The text of the `Error` that `f` throws, "no error" when it returns; other exceptions pass through.
template <class Error, class F>
std::string failureOf(F&& f) {
    try {
        f();
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}

// The `Error` that `f` throws, none when it returns; other exceptions pass through.
template <class Error, class F>
std::optional<Error> errorOf(F&& f) {
    try {
        f();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

} // namespace corvane::test
