#pragma once

#include "platform/core/Error.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace corvane::stream {

// The limit of a piece of work passed before the work ended. `work` names it ("HTTPS /applist").
class DeadlineExceeded final : public Error {
public:
    DeadlineExceeded(std::string work, double seconds);
    std::string work;
    double seconds;
};

namespace detail {
// Throws std::invalid_argument for a limit that is negative or not a number; gives no time point for a
// limit too far away to count (infinity included), which then never passes.
std::optional<std::chrono::steady_clock::time_point> deadlineFor(double seconds);
} // namespace detail

// Runs body(stopToken) on its own thread against a limit of `seconds`. The body's value or error comes back
// unchanged; when the limit passes first the body is asked to stop, and DeadlineExceeded is thrown only after
// it has returned. A stop requested through `caller` is handed on to the body, whose outcome then decides.
template <class Body>
auto withDeadline(double seconds, std::string what, Body&& body, std::stop_token caller = {})
    -> std::invoke_result_t<Body&, std::stop_token> {
    using Result = std::invoke_result_t<Body&, std::stop_token>;
    const auto deadline = detail::deadlineFor(seconds);

    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::exception_ptr error;
    std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> value{};
    std::stop_source bodyStop;

    std::jthread worker([&] {
        try {
            if constexpr (std::is_void_v<Result>) {
                body(bodyStop.get_token());
            } else {
                value.emplace(body(bodyStop.get_token()));
            }
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard guard(mutex);
        finished = true;
        done.notify_all();
    });

    bool timedOut = false;
    {
        std::stop_callback forward(caller, [&] { bodyStop.request_stop(); });
        std::unique_lock lock(mutex);
        if (deadline)
            timedOut = !done.wait_until(lock, *deadline, [&] { return finished; });
        else
            done.wait(lock, [&] { return finished; });
        if (timedOut) {
            bodyStop.request_stop();
            done.wait(lock, [&] { return finished; });
        }
    }
    worker.join();

    if (timedOut) throw DeadlineExceeded(std::move(what), seconds);
    if (error) std::rethrow_exception(error);
    if constexpr (!std::is_void_v<Result>) return std::move(*value);
}

} // namespace corvane::stream
