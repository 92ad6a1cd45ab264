// The Gaussian peak sum: the recurrence on evenly spaced points and the
// exponential per point on any others against the sum written out, on one
// thread and on a pool; and the inputs it refuses.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "parallel/pool.hpp"
#include "scattering/gaussian_sums.hpp"

using namespace kestrel;

namespace {

std::vector<double> written_out(const std::vector<double>& c, const std::vector<double>& w,
                                const std::vector<double>& s, const std::vector<double>& x) {
    std::vector<double> out(x.size(), 0.0);
    for (std::size_t i = 0; i < x.size(); ++i)
        for (std::size_t k = 0; k < c.size(); ++k) {
            const double u = (x[i] - c[k]) / s[k];
            if (std::fabs(u) <= 8.0)
                out[i] += w[k] * std::exp(-0.5 * u * u) / (s[k] * std::sqrt(2.0 * std::numbers::pi));
        }
    return out;
}

}  // namespace

TEST_CASE("peak sums equal the sum written out, on even and uneven points, alone and on a pool") {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> where(0.0, 12.0), weight(-1.0, 2.0), width(0.02, 0.3);
    const std::size_t n = 20000;
    std::vector<double> c(n), w(n), s(n);
    for (std::size_t k = 0; k < n; ++k) c[k] = where(random), w[k] = weight(random), s[k] = width(random);
    std::vector<double> even(1000), uneven(1000);
    for (std::size_t i = 0; i < even.size(); ++i) even[i] = 0.5 + 0.01 * static_cast<double>(i);
    uneven = even;
    uneven[500] += 0.003;  // one point off the grid sends every peak the other way
    Result<std::unique_ptr<ThreadPool>> pool = ThreadPool::start(3, 3);
    REQUIRE(pool);
    const GaussianPeaks peaks{c, w, s};
    for (const std::vector<double>* x : {&even, &uneven}) {
        const std::vector<double> expected = written_out(c, w, s, *x);
        double largest = 0.0;
        for (double v : expected) largest = std::max(largest, std::fabs(v));
        for (ThreadPool* on : {static_cast<ThreadPool*>(nullptr), pool->get()}) {
            Result<std::vector<double>> sums = gaussian_peak_sums(peaks, *x, 8.0, on);
            REQUIRE(sums);
            for (std::size_t i = 0; i < x->size(); ++i) CHECK(std::fabs((*sums)[i] - expected[i]) <= 1e-12 * largest);
        }
    }
}

TEST_CASE("peak sums refuse widths that are not positive and spans of different lengths") {
    const std::vector<double> c{1.0, 2.0}, w{1.0, 1.0}, x{0.0, 1.0, 2.0};
    const std::vector<double> zero{0.1, 0.0}, short_sigma{0.1};
    CHECK(gaussian_peak_sums({c, w, zero}, x, 8.0, nullptr).error().message == "every sigma must be a positive number");
    CHECK(gaussian_peak_sums({c, w, short_sigma}, x, 8.0, nullptr).error().message ==
          "centres, weights and sigmas must have the same length");
}
