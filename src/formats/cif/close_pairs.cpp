#include "formats/cif/close_pairs.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/unit_interval.hpp"

namespace kestrel {
namespace {

// |p - q| on the circle of circumference 1, for p and q in [0, 1).
double periodic_gap(double p, double q) {
    const double d = std::fabs(p - q);
    return std::min(d, 1.0 - d);
}

}  // namespace

std::pair<CellShift, double> nearest_image(const Lattice& lattice, const Vec3& p, const Vec3& q) {
    CellShift shift;
    Vec3 d;
    for (int axis = 0; axis < 3; ++axis) {
        const double delta = p[axis] - q[axis];
        const double whole = std::round(delta);
        shift[axis] = static_cast<std::int32_t>(whole);
        d[axis] = delta - whole;
    }
    return {shift, length(lattice.to_cartesian(d))};
}

Vec3 fractional_reach(const Lattice& lattice, double distance) {
    const Mat3& inverse = lattice.inverse();
    Vec3 reach{};
    for (int i = 0; i < 3; ++i)
        reach[i] =
            distance *
            std::sqrt(inverse[0][i] * inverse[0][i] + inverse[1][i] * inverse[1][i] + inverse[2][i] * inverse[2][i]) *
            (1.0 + 1e-9);
    return reach;
}

CloseNeighbors::CloseNeighbors(const std::vector<Vec3>& points, const Vec3& reach) {
    const std::size_t n = points.size();
    std::vector<Vec3> wrapped(n);
    for (std::size_t i = 0; i < n; ++i)
        for (int axis = 0; axis < 3; ++axis) wrapped[i][axis] = wrap_unit(points[i][axis]);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    const auto consider = [&](std::uint32_t i, std::uint32_t j) {
        if (periodic_gap(wrapped[i][1], wrapped[j][1]) <= reach[1] &&
            periodic_gap(wrapped[i][2], wrapped[j][2]) <= reach[2] &&
            periodic_gap(wrapped[i][0], wrapped[j][0]) <= reach[0])
            pairs.emplace_back(std::min(i, j), std::max(i, j));
    };
    if (reach[0] >= 0.5) {
        for (std::uint32_t i = 0; i < n; ++i)
            for (std::uint32_t j = i + 1; j < n; ++j) consider(i, j);
    } else {
        std::vector<std::uint32_t> along_a(n);
        for (std::uint32_t i = 0; i < n; ++i) along_a[i] = i;
        std::sort(along_a.begin(), along_a.end(),
                  [&](std::uint32_t p, std::uint32_t q) { return wrapped[p][0] < wrapped[q][0]; });
        // Each pair is met once: straight ahead within the reach, or across
        // the cell face (both would need a reach of half the cell or more).
        for (std::size_t s = 0; s < n; ++s) {
            const double a = wrapped[along_a[s]][0];
            for (std::size_t t = s + 1; t < n && wrapped[along_a[t]][0] - a <= reach[0]; ++t)
                consider(along_a[s], along_a[t]);
            if (a > reach[0]) continue;
            for (std::size_t t = n; t-- > s + 1 && a + 1.0 - wrapped[along_a[t]][0] <= reach[0];)
                if (wrapped[along_a[t]][0] - a > reach[0]) consider(along_a[s], along_a[t]);
        }
    }
    start_.assign(n + 1, 0);
    for (const auto& [i, j] : pairs) {
        ++start_[i + 1];
        ++start_[j + 1];
    }
    for (std::size_t i = 0; i < n; ++i) start_[i + 1] += start_[i];
    partners_.resize(start_[n]);
    std::vector<std::uint32_t> filled(start_.begin(), start_.end() - 1);
    for (const auto& [i, j] : pairs) {
        partners_[filled[i]++] = j;
        partners_[filled[j]++] = i;
    }
    for (std::size_t i = 0; i < n; ++i) std::sort(partners_.begin() + start_[i], partners_.begin() + start_[i + 1]);
}

}  // namespace kestrel
