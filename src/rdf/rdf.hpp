// Radial distribution functions of a periodic structure, with partial
// occupancies taken as fractional weights.
#pragma once

#include <cstdint>
#include <stop_token>

#include "neighbor/cell_list.hpp"
#include "neighbor/pair_sweep.hpp"
#include "rdf/histogram.hpp"
#include "base/error.hpp"
#include "model/structure.hpp"

namespace kestrel {

// The histograms of one call (all pieces in flight, the partial curves and
// the bin arrays) may take at most this much memory; a finer binning is
// refused with a message instead of exhausting the machine.
constexpr double kHistogramMemoryLimit = 4.0 * 1024 * 1024 * 1024;

// The neighbor search may make at most this many distance tests (and grid
// cell visits) in one call. Ctrl-C stops a long call, so this bound only
// turns away the absurd: a cutoff far beyond the cell (1e6 on a 4 A cell,
// 1e300 with bin_size 1e299) that would take days. Measured on one core,
// about 1e9 tests take a second, so 1e14 is more than a day; 10^7 atoms at
// a 30 A cutoff, a few minutes of honest work, stay well below it.
constexpr double kMaxSearchWork = 1e14;

// An upper bound: every centre visits half of the (2 reach_a + 1)
// (2 reach_b + 1)(2 reach_c + 1) grid cells around its own, before the
// stencil is trimmed to the cutoff sphere, and tests the sites found there,
// n_sites / cell_count on average; an empty cell still costs a visit (what
// a quick filter needs).
double estimated_search_work(const CellList& grid, std::size_t n_sites);
// What the search of compute_rdf will do: the trimmed stencil's cells per
// centre, each holding n_sites / cell_count sites on average.
double estimated_search_work(const HalfStencil& stencil, const CellList& grid, std::size_t n_sites);

// How many times compute_rdf splits the cutoff along each axis of its cell
// grid, from the structure's sites per cubic angstrom.
unsigned grid_subdivisions(double sites_per_volume, double cutoff);

// Below this estimated search work the pair loop runs on the calling
// thread. Measured: the serial loop takes about a nanosecond per unit of
// estimated work, and handing it to two workers adds 20 to 90 us (waking
// them, a histogram each, the merge), so the pool pays only once half the
// work clearly exceeds that.
constexpr double kSerialSearchWork = 2e5;

// Whether compute_rdf will be over in microseconds, judged before any table
// is built: the pairs expected at the structure's density, the sites and
// the bins, at most kBriefWork of them. Callers use it to skip their own
// set-up (a helper thread) where that would cost more than the work.
constexpr double kBriefWork = 3e4;
bool rdf_is_brief(const Structure& structure, double cutoff, double bin_size);

// The message of a computation that ended because a stop was requested.
inline constexpr const char* kInterruptedMessage = "interrupted";

// The pair loop runs on the pool of the calling thread when it is a worker,
// else on the process-wide default pool. The workers look at `stop` before
// each grid cell of centres; once it is requested the call fails with
// kInterruptedMessage.
Result<RdfResult> compute_rdf(const Structure& structure, double cutoff, double bin_size, std::stop_token stop = {});

// n_threads 0: compute_rdf on the calling thread with the default pool.
// n_threads 1: all of it on the calling thread, as one worker would do it.
// Otherwise a pool of min(n_threads, 65535) workers is started for this call
// alone, runs compute_rdf as one task, and is shut down before returning.
Result<RdfResult> rdf_with_threads(const Structure& structure, double cutoff, double bin_size, std::uint64_t n_threads,
                                   std::stop_token stop = {});

}  // namespace kestrel
