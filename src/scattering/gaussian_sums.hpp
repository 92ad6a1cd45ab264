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

// The same on n_threads workers (see run_with_threads).
Result<std::vector<double>> gaussian_peak_sums_with_threads(const GaussianPeaks& peaks, std::span<const double> x,
                                                            double reach, std::uint64_t n_threads);

// How each peak moves with each of `parameters` parameters: the derivatives
// of its weight, its centre and its variance σ², row-major, one row of
// `parameters` per peak.
struct PeakSlopes {
    std::span<const double> weight, centre, variance;
    std::size_t parameters = 0;
};

// The derivative of the peak sum with respect to each parameter,
// Σ_k ∂/∂θ_p [w_k N(x; c_k, σ_k)], at the ascending points x: one row of
// x.size() values per parameter, row-major. Peaks are taken within
// reach · σ_k as in gaussian_peak_sums. Fails as gaussian_peak_sums does,
// and when the slopes do not have one row per peak.
Result<std::vector<double>> gaussian_peak_slopes(const GaussianPeaks& peaks, const PeakSlopes& slopes,
                                                 std::span<const double> x, double reach, ThreadPool* pool);

Result<std::vector<double>> gaussian_peak_slopes_with_threads(const GaussianPeaks& peaks, const PeakSlopes& slopes,
                                                              std::span<const double> x, double reach,
                                                              std::uint64_t n_threads);

}  // namespace kestrel
