#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include <QtConcurrent/QtConcurrent>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

#include "app/services/AppPool.hpp"

namespace corvane {

// Runs blocking work (engine and box calls) on the application's pool and resumes the awaiting coroutine on
// the main thread with its result, or with the exception it threw (QFuture alone would only carry
// QException). The work gets the pool's stop token, so that quitting never waits on the box, or the one the
// caller gives (an owner that stops its own work when it goes).
// `work` is taken by reference and copied before the first suspension: gcc 12 destroys a temporary passed
// by value to a coroutine twice.
template <class Work>
auto onPool(AppPool& pool, std::stop_token stop, const Work& work)
    -> QCoro::Task<std::invoke_result_t<Work, std::stop_token>> {
    using Result = std::invoke_result_t<Work, std::stop_token>;
    using Stored = std::conditional_t<std::is_void_v<Result>, std::monostate, Result>;
    struct Outcome {
        std::optional<Stored> value;
        std::exception_ptr error;
    };
    QFuture<Outcome> future = QtConcurrent::run(pool.threads(), [work, token = std::move(stop)]() {
        Outcome outcome;
        try {
            if constexpr (std::is_void_v<Result>) {
                work(token);
                outcome.value.emplace();
            } else {
                outcome.value.emplace(work(token));
            }
        } catch (...) {
            outcome.error = std::current_exception();
        }
        return outcome;
    });
    Outcome outcome = co_await future;
    if (outcome.error) std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<Result>) co_return std::move(*outcome.value);
}

template <class Work>
auto onPool(AppPool& pool, const Work& work) -> QCoro::Task<std::invoke_result_t<Work, std::stop_token>> {
    return onPool(pool, pool.token(), work);
}

}  // namespace corvane
