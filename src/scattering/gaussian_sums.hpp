// The one Gaussian peak sum behind every G(r): Σ_k w_k N(x; c_k, σ_k) at a
// set of ascending points, each peak summed out to a fixed number of its
// widths, the peaks spread over the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "parallel/pool.hpp"

namespace kestrel {

// Peak k sits at centre[k] with weight[k] and width sigma[k] (> 0); the
// three spans have one entry per peak.
struct GaussianPeaks {
    std::span<const double> centre, weight, sigma;
};

// Σ_k weight[k] exp(−(x − centre[k])² / 2σ_k²) / (σ_k √(2π)) at the
// ascending points x, each peak taken within reach · σ_k of its centre.
// Fails when the spans differ in length or a width is not a positive
// finite number. `pool` null: on this thread.
Result<std::vector<double>> gaussian_peak_sums(const GaussianPeaks& peaks, std::span<const double> x, double reach,
                                               ThreadPool* pool);

// The same on n_threads workers: 0 the default pool, 1 this thread, more a
// pool started for the call.
Result<std::vector<double>> gaussian_peak_sums_with_threads(const GaussianPeaks& peaks, std::span<const double> x,
                                                            double reach, std::uint64_t n_threads);

}  // namespace kestrel
