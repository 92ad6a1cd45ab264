// Radial distribution functions of a periodic structure, with partial
// occupancies taken as fractional weights.
#pragma once

#include <cstdint>

#include "rdf/histogram.hpp"
#include "structure/error.hpp"
#include "structure/structure.hpp"

namespace kestrel {

// The histograms of one call (all pieces in flight, the partial curves and
// the bin arrays) may take at most this much memory; a finer binning is
// refused with a message instead of exhausting the machine.
constexpr double kHistogramMemoryLimit = 4.0 * 1024 * 1024 * 1024;

// The pair loop runs on the pool of the calling thread when it is a worker,
// else on the process-wide default pool.
Result<RdfResult> compute_rdf(const Structure& structure, double cutoff, double bin_size);

// n_threads 0: compute_rdf on the calling thread with the default pool.
// Otherwise a pool of min(n_threads, 65535) workers is started for this call
// alone, runs compute_rdf as one task, and is shut down before returning.
Result<RdfResult> rdf_with_threads(const Structure& structure, double cutoff, double bin_size,
                                   std::uint64_t n_threads);

}  // namespace kestrel
