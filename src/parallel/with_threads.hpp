// An operation run on the pool a caller's n_threads names: 0 the default
// pool (or the pool the calling thread already works for), 1 the calling
// thread alone, more a pool started for the call and stopped after it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "base/error.hpp"
#include "parallel/pool.hpp"

namespace kestrel {

// body(ThreadPool*) -> Result<T>, given null for one thread.
template <class T, class Body>
Result<T> run_with_threads(std::uint64_t n_threads, Body&& body) {
    if (n_threads == 1) return body(static_cast<ThreadPool*>(nullptr));
    if (n_threads == 0) {
        if (ThreadPool* current = ThreadPool::current()) return body(current);
        Result<ThreadPool*> pool = default_pool();
        if (!pool) return pool.take_error();
        return body(*pool);
    }
    const auto workers = static_cast<std::size_t>(std::min<std::uint64_t>(n_threads, kMaxWorkers));
    Result<std::unique_ptr<ThreadPool>> pool = ThreadPool::start(workers, n_threads);
    if (!pool) return pool.take_error();
    std::optional<Result<T>> out;
    ThreadPool* own = pool->get();
    // On a worker, so that the body's forks are the pool's own.
    own->run([&](bool) { out = body(own); });
    pool->reset();
    return std::move(*out);
}

}  // namespace kestrel
