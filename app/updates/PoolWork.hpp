#pragma once

#include "app/services/AppPool.hpp"

#include <QCoroFuture>
#include <QCoroTask>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

namespace corvane {

template <typename T>
struct PoolOutcome {
    std::optional<T> value;
    std::exception_ptr error;
};
template <>
struct PoolOutcome<void> {
    std::exception_ptr error;
};

// Starts `work(stop)` on the pool, catching what it throws. A plain function on purpose: lambdas with
// captures built inside a coroutine body are destroyed twice by gcc 12.
template <typename F>
QFuture<PoolOutcome<std::invoke_result_t<F, std::stop_token>>> startOnPool(AppPool& pool, std::stop_token stop, F work) {
    using T = std::invoke_result_t<F, std::stop_token>;
    return QtConcurrent::run(pool.threads(), [work = std::move(work), stop]() {
        PoolOutcome<T> outcome;
        try {
            if constexpr (std::is_void_v<T>) work(stop);
            else outcome.value.emplace(work(stop));
        } catch (...) {
            outcome.error = std::current_exception();
        }
        return outcome;
    });
}

// Runs `work(stop)` on the app pool and resumes the awaiting coroutine on the main thread with its result,
// or rethrows there what it threw (QtConcurrent itself would only carry QExceptions across).
template <typename F>
auto runOnPool(AppPool& pool, std::stop_token stop, F work) -> QCoro::Task<std::invoke_result_t<F, std::stop_token>> {
    using T = std::invoke_result_t<F, std::stop_token>;
    auto future = startOnPool(pool, std::move(stop), std::move(work));
    PoolOutcome<T> outcome = co_await future;
    if (outcome.error) std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<T>) co_return std::move(*outcome.value);
}

} // namespace corvane
