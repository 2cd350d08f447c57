#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace corvane::test {

// A virtual X display of the test's own: starts Xvfb on a free display number, points DISPLAY at it for
// this process (and the commands it runs), and at the end stops the server and puts DISPLAY back. Tests
// never use the caller's display. Create it on the main thread: the server is tied to the creating thread
// and ends with it should the test die.
class XvfbDisplay {
public:
    // Throws std::runtime_error when Xvfb cannot be started or reports no display within 15 s.
    explicit XvfbDisplay(const std::string& screen = "1280x800x24");
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

private:
    pid_t pid_ = -1;
    std::string name_;
    std::optional<std::string> previousDisplay_;
};

}  // namespace corvane::test
