#pragma once

#include "app/services/ProcessResult.hpp"
#include "platform/core/Error.hpp"

#include <functional>
#include <stop_token>
#include <string>
#include <vector>

namespace corvane {

// Child processes for the rest of the app. Every call blocks its thread until the child has ended, so the
// main thread runs them through QtConcurrent::run and awaits the result.
//
// The child gets its own process group, the app's environment and working folder, and the app's standard
// input; standard output and standard error are read together (poll), so a child that fills one pipe
// never stalls. When the time-out passes, or `stop` is requested, the whole group gets SIGTERM and, one
// second later, SIGKILL; a grandchild that keeps the pipes open is ended with it. Output is collected up to
// 32 MiB per stream; more is read and dropped, never stored.
namespace Shell {

inline constexpr const char* defaultAdminProgram = "/usr/bin/pkexec";

// Runs a child as run() does; callers that take one let tests watch what is run and for how long.
using Runner = std::function<ProcessResult(const std::string& path, const std::vector<std::string>& arguments,
                                           double timeout, std::stop_token stop)>;

// Failure of runAsAdmin. what() is the text shown to the user.
class AdminError final : public Error {
public:
    enum class Kind { failed, cancelled };

    static AdminError failed(std::string text);  // "The setup step failed: <text>"
    static AdminError cancelled();               // "The password prompt was cancelled."

    Kind kind;
    std::string text;

private:
    AdminError(Kind kind, std::string text, std::string description);
};

// Runs `path` (absolute) with `arguments`; standard output and standard error kept apart.
ProcessResult run(const std::string& path, const std::vector<std::string>& arguments, double timeout,
                  std::stop_token stop = {});

// As run, with both streams on one pipe: `onLine` gets every line (without its line feed, a carriage return
// kept) and a last unterminated rest, in order, on the calling thread while the child runs. `stdout` is the
// whole merged output, `stderr` is empty unless status is -1 (see ProcessResult). A line longer than 1 MiB is
// handed over in pieces.
ProcessResult runStreaming(const std::string& path, const std::vector<std::string>& arguments, double timeout,
                           const std::function<void(const std::string& line)>& onLine, std::stop_token stop = {});

// Runs the shell command line `command` in /bin/sh as administrator through polkit's pkexec, which asks for
// the password with its own dialog and its own text (it has no place for `prompt`, which is kept so callers
// still say what the step is for). The command's own exit status 126 reads as a failure, so that only
// pkexec's 126 means a dismissed dialog. Time-out 300 s. Throws
// AdminError::cancelled when the dialog was dismissed (pkexec's status 126), AdminError::failed with the
// trimmed error output otherwise. `adminProgram` and `runner` (empty: run) are replaceable for tests.
void runAsAdmin(const std::string& command, const std::string& prompt,
                const std::string& adminProgram = defaultAdminProgram, std::stop_token stop = {},
                const Runner& runner = {});

} // namespace Shell

} // namespace corvane
