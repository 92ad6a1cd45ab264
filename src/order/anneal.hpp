// The search for an arrangement: independent annealing chains of trial
// swaps within sublattices, run side by side on the worker pool; the chain
// that ends lowest wins.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <stop_token>
#include <vector>

#include "base/error.hpp"
#include "order/swap_state.hpp"
#include "parallel/pool.hpp"

namespace kestrel::order {

struct AnnealSettings {
    std::optional<double> time_limit;         // seconds of wall time per chain
    std::optional<std::uint64_t> iterations;  // trial swaps per chain; 0 keeps the random start
    std::uint64_t seed = 42;
    std::size_t chains = 1;
};

// What a caller may watch while the chains run (from another thread).
struct AnnealProgress {
    std::atomic<double> best{std::numeric_limits<double>::infinity()};  // until a chain has started
    std::atomic<std::uint64_t> trials{0};
};

struct TracePoint {
    double seconds;
    std::uint64_t trials;  // of all chains together, by then
    double objective;      // the best of all chains by then
};

struct AnnealResult {
    std::vector<std::vector<std::uint8_t>> species;  // per sublattice, the best arrangement found
    double objective;
    std::uint64_t trials;  // all chains together
    double seconds;
    std::size_t chains;
    std::vector<TracePoint> trace;
};

// A chain's starting arrangement: each sublattice's counts dealt out at
// random. `fills` gives the sites per species of each sublattice.
std::vector<std::uint8_t> random_fill(const std::vector<std::uint64_t>& counts, std::uint64_t& state);

// Runs settings.chains chains on `pool` (null: one after another on this
// thread). The result depends only on the problems, the seed, the number of
// chains and, where a chain ends on its time limit, on when it ended: a run
// bounded by `iterations` alone gives the same arrangement every time.
// Fails with "interrupted" once `stop` is requested.
Result<AnnealResult> anneal(const std::vector<SublatticeProblem>& problems, const AnnealSettings& settings,
                            ThreadPool* pool, std::stop_token stop, AnnealProgress* progress);

}  // namespace kestrel::order
