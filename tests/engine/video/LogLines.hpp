#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/EngineLog.hpp"

namespace corvane::stream::test {

// Collects the engine's log lines, without the sink's "[engine] " tag, for the life of the object.
class LogLines {
public:
    LogLines() {
        EngineLog::setSink([this](const std::string& line) {
            std::lock_guard guard(lock_);
            lines_.push_back(line.rfind("[engine] ", 0) == 0 ? line.substr(9) : line);
        });
    }
    ~LogLines() { EngineLog::setSink(nullptr); }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    std::vector<std::string> matching(const std::string& part) const {
        std::lock_guard guard(lock_);
        std::vector<std::string> out;
        for (const auto& line : lines_)
            if (line.find(part) != std::string::npos) out.push_back(line);
        return out;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

}  // namespace corvane::stream::test
