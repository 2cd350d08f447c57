#pragma once

#include "app/services/AppPool.hpp"

#include <QtConcurrent/QtConcurrent>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvane {

namespace detail {

template <class Result>
struct PoolOutcome {
    using Stored = std::conditional_t<std::is_void_v<Result>, std::monostate, Result>;
    std::optional<Stored> value;
    std::exception_ptr error;
};

// Not a coroutine: gcc 12 mishandles lambdas with init-captures made inside coroutine bodies.
template <class Work>
QFuture<PoolOutcome<std::invoke_result_t<Work, std::stop_token>>> startOnPool(AppPool& pool, Work work) {
    using Result = std::invoke_result_t<Work, std::stop_token>;
    return QtConcurrent::run(pool.threads(), [work = std::move(work), token = pool.token()]() {
        PoolOutcome<Result> outcome;
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
}

} // namespace detail

// Runs blocking work (engine and box calls) on the application's pool and resumes the awaiting coroutine on
// the main thread with its result, or with the exception it threw (QFuture alone would only carry
// QException). The work gets the pool's stop token, so that quitting never waits on the box.
template <class Work>
auto onPool(AppPool& pool, Work work) -> QCoro::Task<std::invoke_result_t<Work, std::stop_token>> {
    using Result = std::invoke_result_t<Work, std::stop_token>;
    auto outcome = co_await detail::startOnPool(pool, std::move(work));
    if (outcome.error) std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<Result>) co_return std::move(*outcome.value);
}

} // namespace corvane
