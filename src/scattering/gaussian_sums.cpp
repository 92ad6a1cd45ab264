#include "scattering/gaussian_sums.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "parallel/chunks.hpp"
#include "parallel/with_threads.hpp"

namespace kestrel {
namespace {

// The step of x when its points lie on x[0] + i step (to 1e-9 of a step),
// else 0.
double uniform_step(std::span<const double> x) {
    if (x.size() < 2) return 0.0;
    const double step = (x.back() - x.front()) / static_cast<double>(x.size() - 1);
    if (!(step > 0.0)) return 0.0;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i] - (x.front() + static_cast<double>(i) * step)) > 1e-9 * step) return 0.0;
    return step;
}

// Calls visit(i, u, value) at every point i within reach · σ of the peak,
// with u = (x_i − centre) / σ and value = height · exp(−u²/2).
//
// On evenly spaced points (step > 0) it walks from the point nearest the
// centre outwards. With u moving by h = step / σ from point to point,
// exp(−u²/2) changes by the factor exp(−u h − h²/2), and that factor itself
// by exp(−h²): two multiplications a point instead of an exponential.
// Walking at most GAUSSIAN_REACH / h points each way, the products stay
// within a few hundred roundings of the direct values. Elsewhere it calls
// exp at each point.
template <class Visit>
void walk_peak(double centre, double height, double sigma, double reach, std::span<const double> x, double step,
               Visit&& visit) {
    if (!(step > 0.0)) {
        const double inverse_width = 1.0 / sigma;
        const auto begin = std::lower_bound(x.begin(), x.end(), centre - reach * sigma);
        const auto end = std::upper_bound(begin, x.end(), centre + reach * sigma);
        for (auto at = begin; at != end; ++at) {
            const double u = (*at - centre) * inverse_width;
            visit(static_cast<std::size_t>(at - x.begin()), u, height * std::exp(-0.5 * u * u));
        }
        return;
    }
    const double start = x.front();
    const double h = step / sigma;
    const double nearest = std::round((centre - start) / step);
    const double lowest = std::max(0.0, std::ceil((centre - reach * sigma - start) / step));
    const double highest =
        std::min(static_cast<double>(x.size()) - 1.0, std::floor((centre + reach * sigma - start) / step));
    if (!(lowest <= highest)) return;
    const double middle = std::clamp(nearest, lowest, highest);
    const auto first = static_cast<std::size_t>(lowest), last = static_cast<std::size_t>(highest);
    const auto at = static_cast<std::size_t>(middle);
    const double d = (start + middle * step - centre) / sigma;
    const double shrink = std::exp(-h * h);
    const double peak = height * std::exp(-0.5 * d * d);
    double value = peak;
    double up = std::exp(-d * h - 0.5 * h * h), down = std::exp(d * h - 0.5 * h * h);
    visit(at, d, value);
    for (std::size_t i = at + 1; i <= last; ++i) {
        value *= up;
        up *= shrink;
        visit(i, d + static_cast<double>(i - at) * h, value);
    }
    value = peak;
    for (std::size_t i = at; i > first; --i) {
        value *= down;
        down *= shrink;
        visit(i - 1, d - static_cast<double>(at - i + 1) * h, value);
    }
}

constexpr double kInverseRootTwoPi = 0.5 * std::numbers::inv_sqrtpi * std::numbers::sqrt2;

// Adds the peaks [first, last) to `out`.
void add_peaks(const GaussianPeaks& peaks, std::span<const double> x, double reach, std::size_t first, std::size_t last,
               double* out) {
    const double step = uniform_step(x);
    for (std::size_t k = first; k < last; ++k) {
        const double weight = peaks.weight[k];
        if (weight == 0.0) continue;
        const double sigma = peaks.sigma[k];
        walk_peak(peaks.centre[k], weight * kInverseRootTwoPi / sigma, sigma, reach, x, step,
                  [&](std::size_t i, double, double value) { out[i] += value; });
    }
}

// Adds the slopes of the peaks [first, last) to the rows of `out` (one row
// of x.size() per parameter). With N the normalised Gaussian and
// u = (x − c) / σ: ∂N/∂c = N u / σ and ∂N/∂(σ²) = N (u² − 1) / (2σ²).
void add_slopes(const GaussianPeaks& peaks, const PeakSlopes& slopes, std::span<const double> x, double reach,
                std::size_t first, std::size_t last, double* out) {
    const double step = uniform_step(x);
    const std::size_t n_parameters = slopes.parameters;
    std::vector<std::size_t> moving;
    std::vector<double> by_weight, by_centre, by_variance;
    for (std::size_t k = first; k < last; ++k) {
        const double weight = peaks.weight[k], sigma = peaks.sigma[k];
        moving.clear();
        by_weight.clear();
        by_centre.clear();
        by_variance.clear();
        for (std::size_t p = 0; p < n_parameters; ++p) {
            const std::size_t at = k * n_parameters + p;
            const double dw = slopes.weight[at], dc = slopes.centre[at], dv = slopes.variance[at];
            if (dw == 0.0 && (weight == 0.0 || (dc == 0.0 && dv == 0.0))) continue;
            moving.push_back(p);
            by_weight.push_back(dw);
            by_centre.push_back(weight * dc / sigma);
            by_variance.push_back(weight * dv / (2.0 * sigma * sigma));
        }
        if (moving.empty()) continue;
        const std::size_t count = moving.size();
        walk_peak(peaks.centre[k], kInverseRootTwoPi / sigma, sigma, reach, x, step,
                  [&](std::size_t i, double u, double value) {
                      const double curvature = u * u - 1.0;
                      for (std::size_t m = 0; m < count; ++m)
                          out[moving[m] * x.size() + i] +=
                              value * (by_weight[m] + by_centre[m] * u + by_variance[m] * curvature);
                  });
    }
}

Result<Ok> check_peaks(const GaussianPeaks& peaks, double reach) {
    const std::size_t n = peaks.centre.size();
    if (peaks.weight.size() != n || peaks.sigma.size() != n)
        return fail_argument("centres, weights and sigmas must have the same length");
    for (const double sigma : peaks.sigma)
        if (!(sigma > 0.0 && std::isfinite(sigma))) return fail_argument("every sigma must be a positive number");
    if (!(reach > 0.0)) return fail_argument("the reach must be a positive number of widths");
    return Ok{};
}

// Each chunk of peaks adds into rows of its own (`size` values); the chunks
// are added in chunk order, so the result does not depend on which thread
// ran what.
template <class AddChunk>
std::vector<double> sum_by_chunks(ThreadPool* pool, std::size_t n_peaks, std::size_t size, AddChunk&& add) {
    const std::size_t chunks = chunk_count(pool, n_peaks);
    std::vector<std::vector<double>> partial(chunks, std::vector<double>(size, 0.0));
    for_each_chunk(pool, chunks, [&](std::size_t c) {
        add(chunk_begin(n_peaks, chunks, c), chunk_begin(n_peaks, chunks, c + 1), partial[c].data());
    });
    std::vector<double> out = std::move(partial[0]);
    for (std::size_t c = 1; c < chunks; ++c)
        for (std::size_t i = 0; i < out.size(); ++i) out[i] += partial[c][i];
    return out;
}

}  // namespace

Result<std::vector<double>> gaussian_peak_sums(const GaussianPeaks& peaks, std::span<const double> x, double reach,
                                               ThreadPool* pool) {
    if (Result<Ok> valid = check_peaks(peaks, reach); !valid) return valid.take_error();
    return sum_by_chunks(pool, peaks.centre.size(), x.size(), [&](std::size_t first, std::size_t last, double* out) {
        add_peaks(peaks, x, reach, first, last, out);
    });
}

Result<std::vector<double>> gaussian_peak_sums_with_threads(const GaussianPeaks& peaks, std::span<const double> x,
                                                            double reach, std::uint64_t n_threads) {
    return run_with_threads<std::vector<double>>(
        n_threads, [&](ThreadPool* pool) { return gaussian_peak_sums(peaks, x, reach, pool); });
}

Result<std::vector<double>> gaussian_peak_slopes(const GaussianPeaks& peaks, const PeakSlopes& slopes,
                                                 std::span<const double> x, double reach, ThreadPool* pool) {
    if (Result<Ok> valid = check_peaks(peaks, reach); !valid) return valid.take_error();
    const std::size_t entries = peaks.centre.size() * slopes.parameters;
    if (slopes.weight.size() != entries || slopes.centre.size() != entries || slopes.variance.size() != entries)
        return fail_argument("the slopes must have one row per peak and one column per parameter");
    return sum_by_chunks(pool, peaks.centre.size(), slopes.parameters * x.size(),
                         [&](std::size_t first, std::size_t last, double* out) {
                             add_slopes(peaks, slopes, x, reach, first, last, out);
                         });
}

Result<std::vector<double>> gaussian_peak_slopes_with_threads(const GaussianPeaks& peaks, const PeakSlopes& slopes,
                                                              std::span<const double> x, double reach,
                                                              std::uint64_t n_threads) {
    return run_with_threads<std::vector<double>>(
        n_threads, [&](ThreadPool* pool) { return gaussian_peak_slopes(peaks, slopes, x, reach, pool); });
}

}  // namespace kestrel
