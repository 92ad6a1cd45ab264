// Radial distribution functions of a periodic structure, with partial
// occupancies taken as fractional weights.
#pragma once

#include <cstdint>
#include <stop_token>

#include "neighbor/cell_list.hpp"
#include "rdf/histogram.hpp"
#include "base/error.hpp"
#include "model/structure.hpp"

namespace kestrel {

// The histograms of one call (all pieces in flight, the partial curves and
// the bin arrays) may take at most this much memory; a finer binning is
// refused with a message instead of exhausting the machine.
constexpr double kHistogramMemoryLimit = 4.0 * 1024 * 1024 * 1024;

// The neighbour search may make at most this many distance tests (and grid
// cell visits) in one call. A cutoff far beyond the cell (1e6 on a 4 A cell,
// 1e300 with bin_size 1e299) passes every other check but would visit an
// astronomical number of periodic images with the interpreter lock released,
// so it is refused with a message instead. Measured on one core: 10^11 is
// 15-20 minutes of work; 524,288 atoms of rock salt with a 20 A cutoff are
// about 10^9 (3 s), and a 3 A cell with one site and a 1000 A cutoff 3*10^8.
constexpr double kMaxSearchWork = 1e11;

// The work estimate kMaxSearchWork is compared with: every centre visits
// half of the (2 reach_a + 1)(2 reach_b + 1)(2 reach_c + 1) grid cells around
// its own and tests the sites found there, n_sites / cell_count on average;
// an empty cell still costs a visit.
double estimated_search_work(const CellList& grid, std::size_t n_sites);

// The message of a computation that ended because a stop was requested.
inline constexpr const char* kInterruptedMessage = "interrupted";

// The pair loop runs on the pool of the calling thread when it is a worker,
// else on the process-wide default pool. The workers look at `stop` before
// each grid cell of centres; once it is requested the call fails with
// kInterruptedMessage.
Result<RdfResult> compute_rdf(const Structure& structure, double cutoff, double bin_size,
                              std::stop_token stop = {});

// n_threads 0: compute_rdf on the calling thread with the default pool.
// Otherwise a pool of min(n_threads, 65535) workers is started for this call
// alone, runs compute_rdf as one task, and is shut down before returning.
Result<RdfResult> rdf_with_threads(const Structure& structure, double cutoff, double bin_size,
                                   std::uint64_t n_threads, std::stop_token stop = {});

}  // namespace kestrel
