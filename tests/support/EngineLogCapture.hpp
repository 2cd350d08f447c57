#pragma once

// The engine's log lines while the object lives (header only: the test links the engine).

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>
#include "engine/EngineLog.hpp"

namespace corvane::test {

class EngineLogCapture {
public:
    EngineLogCapture() {
        stream::EngineLog::setSink([this](const std::string& line) {
            std::lock_guard guard(mutex_);
            lines_.push_back(line);
        });
    }
    ~EngineLogCapture() { stream::EngineLog::setSink(nullptr); }
    EngineLogCapture(const EngineLogCapture&) = delete;
    EngineLogCapture& operator=(const EngineLogCapture&) = delete;
    // Lines are given without the "[engine] " prefix.
    std::size_t count(const std::string& line) const {
        std::lock_guard guard(mutex_);
        return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), "[engine] " + line));
    }
    bool has(const std::string& line) const { return count(line) > 0; }
    bool hasStart(const std::string& start) const {
        std::lock_guard guard(mutex_);
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const std::string& line) { return line.starts_with("[engine] " + start); });
    }
    // Lines holding `part`, without the prefix.
    std::vector<std::string> matching(const std::string& part) const {
        std::lock_guard guard(mutex_);
        std::vector<std::string> out;
        for (const auto& line : lines_)
            if (line.find(part) != std::string::npos) out.push_back(line.substr(line.starts_with("[engine] ") ? 9 : 0));
        return out;
    }
    std::vector<std::string> all() const {
        std::lock_guard guard(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace corvane::test
