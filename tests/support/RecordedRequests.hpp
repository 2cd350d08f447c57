#pragma once

// A transport that writes down each request ("<method> <path> <silence limit>" and its extra headers)
// before the real HTTP layer sends it, so a test can check what a client asked for and how long it waits.

#include "platform/http/Http.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::test {

class RecordedRequests {
public:
    platform::Http::Transport transport() const {
        return [lines = lines_](const platform::HttpRequest& request, std::stop_token stop,
                                const platform::HttpReceiver* receiver) {
            std::string line = request.method + " " + request.path + " " + std::to_string(int(request.idleTimeoutSeconds));
            for (const auto& [name, value] : request.headers) line += " " + name + ": " + value;
            {
                std::lock_guard guard(lines->mutex);
                lines->all.push_back(line);
            }
            return platform::Http::perform({}, request, std::move(stop), receiver);
        };
    }
    // The lines that begin with `start`, in order.
    std::vector<std::string> like(const std::string& start) const {
        std::lock_guard guard(lines_->mutex);
        std::vector<std::string> out;
        for (const auto& line : lines_->all)
            if (line.starts_with(start)) out.push_back(line);
        return out;
    }

private:
    struct Lines {
        std::mutex mutex;
        std::vector<std::string> all;
    };
    std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
};

} // namespace corvane::test
