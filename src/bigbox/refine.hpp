// Big-box refinement: replicas of the supercell, each an annealing chain of
// trial moves (swaps within pools, exchanges of unit alternatives,
// displacements) accepted by how they change the agreement with the data.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <stop_token>
#include <vector>

#include "base/error.hpp"
#include "bigbox/model.hpp"
#include "bigbox/profile_fit.hpp"
#include "parallel/pool.hpp"

namespace kestrel::bigbox {

enum MoveKind : std::size_t { kSwap = 0, kUnit = 1, kDisplace = 2, kMoveKinds = 3 };

struct RefineSettings {
    bool swap = true;  // swaps within pools, and exchanges of unit alternatives
    bool displace = false;
    double max_step = 0.1;  // angstrom: a displacement lands uniformly within this sphere
    // Squared closest approach per species pair [a * m + b], angstrom^2; empty for none.
    std::vector<double> min_distance2;
    double bin = 0.005;  // histogram bin width, angstrom
    std::size_t n_bins = 0;
    std::optional<std::uint64_t> iterations;  // trial moves per replica
    std::optional<double> time_limit;         // seconds per replica
    std::uint64_t seed = 42;
    std::vector<std::uint64_t> replicas{0};  // which replicas to run: replica k always runs the same way
    std::size_t history_points = 200;
};

struct RefineProgress {
    std::atomic<std::uint64_t> tried{0};
    std::atomic<double> best{std::numeric_limits<double>::infinity()};  // lowest Rw of any replica so far
};

struct HistoryPoint {
    std::uint64_t trials;
    double seconds;
    double rw;  // the weighted total
};

struct ReplicaOutcome {
    std::uint64_t replica = 0;
    std::vector<std::uint8_t> species;
    std::vector<Vec3> frac;
    std::vector<std::int32_t> counts;  // ordered pair counts, [pair][bin]
    std::vector<double> rw, scale;     // per data set
    double rw_total = 1.0;
    std::vector<HistoryPoint> history;
    std::array<std::uint64_t, kMoveKinds> tried{}, accepted{};
    double seconds = 0.0;
};

// Runs settings.replicas on `pool` (null: one after another here). A replica
// bounded by iterations alone gives the same result on any number of threads.
// Fails with "interrupted" once `stop` is requested.
Result<std::vector<ReplicaOutcome>> refine(const BigBoxModel& model, const std::vector<CurveData>& data,
                                           const RefineSettings& settings, ThreadPool* pool, std::stop_token stop,
                                           RefineProgress* progress);

// The same on the default pool (n_threads = 0) or on a pool of n_threads
// started and stopped within the call.
Result<std::vector<ReplicaOutcome>> refine_with_threads(const BigBoxModel& model, const std::vector<CurveData>& data,
                                                        const RefineSettings& settings, std::uint64_t n_threads,
                                                        std::stop_token stop, RefineProgress* progress);

}  // namespace kestrel::bigbox
