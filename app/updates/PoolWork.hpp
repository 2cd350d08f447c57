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

// Runs `work(stop)` on the app pool and resumes the awaiting coroutine on the main thread with its result,
// or rethrows there what it threw (QtConcurrent itself would only carry QExceptions across).
template <typename F>
auto runOnPool(AppPool& pool, std::stop_token stop, F work) -> QCoro::Task<std::invoke_result_t<F, std::stop_token>> {
    using T = std::invoke_result_t<F, std::stop_token>;
    if constexpr (std::is_void_v<T>) {
        std::exception_ptr error = co_await QtConcurrent::run(pool.threads(), [work = std::move(work), stop]() {
            std::exception_ptr thrown;
            try {
                work(stop);
            } catch (...) {
                thrown = std::current_exception();
            }
            return thrown;
        });
        if (error) std::rethrow_exception(error);
    } else {
        struct Outcome {
            std::optional<T> value;
            std::exception_ptr error;
        };
        Outcome outcome = co_await QtConcurrent::run(pool.threads(), [work = std::move(work), stop]() {
            Outcome result;
            try {
                result.value.emplace(work(stop));
            } catch (...) {
                result.error = std::current_exception();
            }
            return result;
        });
        if (outcome.error) std::rethrow_exception(outcome.error);
        co_return std::move(*outcome.value);
    }
}

} // namespace corvane
