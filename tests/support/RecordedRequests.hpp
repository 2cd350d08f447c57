#pragma once

#include "platform/http/Http.hpp"
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::test {

// A transport that notes each request as "<method> <path> <silence limit>[ <header>: <value>]..." before the
// real HTTP layer sends it: what a client asked for, and how long it waits.
class RecordedRequests {
public:
    platform::Http::Transport transport() const {
        return [seen = seen_](const platform::HttpRequest& r, std::stop_token stop, const platform::HttpReceiver* receiver) {
            std::string line = r.method + " " + r.path + " " + std::to_string(int(r.idleTimeoutSeconds));
            for (const auto& [name, value] : r.headers) line += " " + name + ": " + value;
            {
                std::lock_guard guard(seen->mutex);
                seen->lines.push_back(line);
            }
            return platform::Http::perform({}, r, std::move(stop), receiver);
        };
    }
    std::vector<std::string> like(const std::string& start) const {
        std::vector<std::string> out;
        std::lock_guard guard(seen_->mutex);
        std::copy_if(seen_->lines.begin(), seen_->lines.end(), std::back_inserter(out), [&](auto& l) { return l.starts_with(start); });
        return out;
    }

private:
    struct Seen {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Seen> seen_ = std::make_shared<Seen>();
};

} // namespace corvane::test
