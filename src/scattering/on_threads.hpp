// Runs a core operation on the number of threads a caller asks for: 0 the
// default pool, 1 the calling thread, more a pool started for the call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "base/error.hpp"
#include "parallel/pool.hpp"

namespace kestrel {

// `run(ThreadPool*)` returns a Result; a pool that cannot start is its error.
template <class Run>
auto on_threads(std::uint64_t n_threads, Run&& run) -> decltype(run(static_cast<ThreadPool*>(nullptr))) {
    if (n_threads == 1) return run(nullptr);
    if (n_threads == 0) {
        Result<ThreadPool*> pool = default_pool();
        if (!pool) return pool.take_error();
        return run(*pool);
    }
    const auto workers = static_cast<std::size_t>(std::min<std::uint64_t>(n_threads, kMaxWorkers));
    Result<std::unique_ptr<ThreadPool>> pool = ThreadPool::start(workers, n_threads);
    if (!pool) return pool.take_error();
    return run(pool->get());
}

}  // namespace kestrel
