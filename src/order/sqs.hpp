// Special quasirandom structures, and orderings with a chosen short-range
// order: a supercell of a partly occupied structure in which every site
// holds one whole atom (or a vacancy), arranged so that the Warren-Cowley
// parameters of the first few shells come as close to a target as the
// cell allows (zero, the random alloy, unless told otherwise).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "expand/expand.hpp"
#include "expand/unit_choice.hpp"
#include "model/structure.hpp"
#include "order/anneal.hpp"
#include "order/short_range_order.hpp"

namespace kestrel::order {

// A wished-for alpha of one species pair, per shell.
struct PairTarget {
    std::string first, second;
    std::vector<double> alpha;  // one value per shell, or one for all shells
};

struct SqsRequest {
    // Exactly one of the two: the repeats along a, b, c, or a site limit
    // (the largest n x n x n within it, a multiple of the exact multiplier
    // where one fits).
    std::optional<std::array<std::uint64_t, 3>> supercell;
    std::optional<std::uint64_t> max_sites;
    std::size_t shells = 3;
    double tol = 0.01;            // angstrom, for grouping distances into shells
    std::vector<double> weights;  // per shell; empty: w_s = 1 / s
    std::vector<PairTarget> target;
    std::uint64_t max_denominator = 16;
    AnnealSettings anneal;
};

struct SqsOutcome {
    Structure structure;  // vacancies left out
    std::array<std::uint64_t, 3> scale;
    std::vector<SublatticeOrder> order;  // per swapped sublattice, its alpha as arranged
    std::vector<double> weights;
    double objective;
    std::uint64_t trials;
    double seconds;
    std::size_t chains;
    std::vector<TracePoint> trace;
    std::vector<expand::OccupancyReportRow> occupancy_report;
    std::vector<expand::UnitReportRow> unit_report;  // units of correlated disorder, as dealt
    std::uint64_t n_vacancies;
    std::vector<std::string> warnings;
};

// Each pool of equivalent partly occupied sites (the expansion's pools)
// is a sublattice: it gets the expansion's atom counts, vacancies fill the
// rest, and its sites trade places only with each other. Fully occupied
// sites stay where they are and take no part in the statistics. Each pool
// of equivalent units of correlated disorder is a sublattice as well: its
// copies, at their centres, trade whole alternatives (or none).
Result<SqsOutcome> make_sqs(const Structure& structure, const SqsRequest& request, ThreadPool* pool,
                            std::stop_token stop, AnnealProgress* progress);

// The same with one chain per thread: on the default pool for n_threads =
// 0, otherwise on a pool of n_threads started and stopped within the call.
Result<SqsOutcome> sqs_with_threads(const Structure& structure, SqsRequest request, std::uint64_t n_threads,
                                    std::stop_token stop, AnnealProgress* progress);

}  // namespace kestrel::order
