#include "scattering/gaussian_sums.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

#include "parallel/chunks.hpp"

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

// One peak on evenly spaced points, from the point nearest its centre
// outwards. With d = (x − centre) / σ moving by h = step / σ from point to
// point, exp(−d²/2) changes by the factor exp(−d h − h²/2), and that factor
// itself by exp(−h²): two multiplications a point instead of an
// exponential. Walking at most GAUSSIAN_REACH / h points each way, the
// products stay within a few hundred roundings of the direct values.
void add_on_grid(double centre, double height, double sigma, double reach, double start, double step, std::size_t count,
                 double* out) {
    const double h = step / sigma;
    const double nearest = std::round((centre - start) / step);
    const double lowest = std::max(0.0, std::ceil((centre - reach * sigma - start) / step));
    const double highest =
        std::min(static_cast<double>(count) - 1.0, std::floor((centre + reach * sigma - start) / step));
    if (!(lowest <= highest)) return;
    const double middle = std::clamp(nearest, lowest, highest);
    const auto first = static_cast<std::size_t>(lowest), last = static_cast<std::size_t>(highest);
    const auto at = static_cast<std::size_t>(middle);
    const double d = (start + middle * step - centre) / sigma;
    const double shrink = std::exp(-h * h);
    double value = height * std::exp(-0.5 * d * d);
    double up = std::exp(-d * h - 0.5 * h * h), down = std::exp(d * h - 0.5 * h * h);
    out[at] += value;
    for (std::size_t i = at + 1; i <= last; ++i) {
        value *= up;
        up *= shrink;
        out[i] += value;
    }
    value = height * std::exp(-0.5 * d * d);
    for (std::size_t i = at; i > first; --i) {
        value *= down;
        down *= shrink;
        out[i - 1] += value;
    }
}

// Adds the peaks [first, last) to `out`.
void add_peaks(const GaussianPeaks& peaks, std::span<const double> x, double reach, std::size_t first, std::size_t last,
               double* out) {
    const double inverse_root_two_pi = 0.5 * std::numbers::inv_sqrtpi * std::numbers::sqrt2;
    const double step = uniform_step(x);
    for (std::size_t k = first; k < last; ++k) {
        const double weight = peaks.weight[k];
        if (weight == 0.0) continue;
        const double centre = peaks.centre[k], sigma = peaks.sigma[k];
        const double height = weight * inverse_root_two_pi / sigma;
        if (step > 0.0) {
            add_on_grid(centre, height, sigma, reach, x.front(), step, x.size(), out);
            continue;
        }
        const double inverse_width = 1.0 / sigma;
        const auto begin = std::lower_bound(x.begin(), x.end(), centre - reach * sigma);
        const auto end = std::upper_bound(begin, x.end(), centre + reach * sigma);
        for (auto at = begin; at != end; ++at) {
            const double offset = (*at - centre) * inverse_width;
            out[at - x.begin()] += height * std::exp(-0.5 * offset * offset);
        }
    }
}

}  // namespace

Result<std::vector<double>> gaussian_peak_sums(const GaussianPeaks& peaks, std::span<const double> x, double reach,
                                               ThreadPool* pool) {
    const std::size_t n = peaks.centre.size();
    if (peaks.weight.size() != n || peaks.sigma.size() != n)
        return fail_argument("centres, weights and sigmas must have the same length");
    for (const double sigma : peaks.sigma)
        if (!(sigma > 0.0 && std::isfinite(sigma))) return fail_argument("every sigma must be a positive number");
    if (!(reach > 0.0)) return fail_argument("the reach must be a positive number of widths");

    // Each chunk of peaks adds into a sum of its own; the sums are added in
    // chunk order, so the result does not depend on which thread ran what.
    const std::size_t chunks = chunk_count(pool, n);
    std::vector<std::vector<double>> partial(chunks, std::vector<double>(x.size(), 0.0));
    for_each_chunk(pool, chunks, [&](std::size_t c) {
        add_peaks(peaks, x, reach, chunk_begin(n, chunks, c), chunk_begin(n, chunks, c + 1), partial[c].data());
    });
    std::vector<double> out = std::move(partial[0]);
    for (std::size_t c = 1; c < chunks; ++c)
        for (std::size_t i = 0; i < out.size(); ++i) out[i] += partial[c][i];
    return out;
}

Result<std::vector<double>> gaussian_peak_sums_with_threads(const GaussianPeaks& peaks, std::span<const double> x,
                                                            double reach, std::uint64_t n_threads) {
    if (n_threads == 1) return gaussian_peak_sums(peaks, x, reach, nullptr);
    if (n_threads == 0) {
        Result<ThreadPool*> pool = default_pool();
        if (!pool) return pool.take_error();
        return gaussian_peak_sums(peaks, x, reach, *pool);
    }
    const std::size_t workers = static_cast<std::size_t>(std::min<std::uint64_t>(n_threads, kMaxWorkers));
    Result<std::unique_ptr<ThreadPool>> pool = ThreadPool::start(workers, n_threads);
    if (!pool) return pool.take_error();
    return gaussian_peak_sums(peaks, x, reach, pool->get());
}

}  // namespace kestrel
