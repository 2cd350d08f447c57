#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvane {

// Starts the new version of the application once the running one has ended: a detached helper in its own
// session waits (at most `waitSeconds`) for process `waitFor` to end, then executes `program` with
// `arguments` directly (no shell). Throws corvane::Error saying why when `program` is no executable file or
// the helper could not be started.
namespace Relauncher {
void startAfterExit(const std::filesystem::path& program, const std::vector<std::string>& arguments, pid_t waitFor,
                    double waitSeconds = 10);
} // namespace Relauncher

} // namespace corvane
