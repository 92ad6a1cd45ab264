// Data-parallel passes over an index range: the range is cut into a few
// equal chunks, at most one per worker, and each chunk runs as one task.
// A chunk is a contiguous stretch, so a pass that writes its own stretch of
// an output needs no synchronisation, and a pass that must follow the index
// order (a running sum) can do its chunks' parts in parallel and join them
// in chunk order.
#pragma once

#include <algorithm>
#include <cstddef>

#include "parallel/pool.hpp"

namespace kestrel {

// Below this many items per chunk, handing a chunk to another thread costs
// about as much as the pass itself.
constexpr std::size_t kMinChunkItems = 8192;

// How many chunks a pass over n items takes on `pool` (null: one).
inline std::size_t chunk_count(const ThreadPool* pool, std::size_t n) {
    if (pool == nullptr) return 1;
    return std::clamp<std::size_t>(n / kMinChunkItems, 1, pool->size());
}

// Chunk c of n items cut into `chunks`: [chunk_begin(c), chunk_begin(c + 1)).
inline std::size_t chunk_begin(std::size_t n, std::size_t chunks, std::size_t c) {
    // n is at most about 2^31 sites and chunks at most 65535 workers: the
    // product fits in 64 bits.
    return n / chunks * c + n % chunks * c / chunks;
}

// Runs body(c) for every chunk c in [0, chunks): on the calling thread when
// there is one chunk, otherwise forked over the pool. Returns when all are
// done; an exception from any chunk is rethrown here after the others end.
template <class Body>
void for_each_chunk(ThreadPool* pool, std::size_t chunks, Body&& body) {
    if (chunks <= 1 || pool == nullptr) {
        for (std::size_t c = 0; c < chunks; ++c) body(c);
        return;
    }
    const auto run = [&](auto& self, std::size_t lo, std::size_t hi) -> void {
        if (hi - lo == 1) return body(lo);
        const std::size_t mid = lo + (hi - lo) / 2;
        pool->join([&](bool) { self(self, lo, mid); }, [&](bool) { self(self, mid, hi); });
    };
    run(run, 0, chunks);
}

}  // namespace kestrel
