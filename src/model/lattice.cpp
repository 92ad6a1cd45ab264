#include "model/lattice.hpp"

#include <cmath>
#include <string>

#include "base/fixed4.hpp"

namespace kestrel {

double determinant(const Mat3& m) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

Result<Lattice> make_lattice(const Mat3& m) {
    // A NaN or infinite entry slips past the volume test (NaN compares false)
    // and would poison every distance downstream.
    for (std::size_t row = 0; row < 3; ++row)
        for (std::size_t column = 0; column < 3; ++column)
            if (!std::isfinite(m[row][column]))
                return fail("cell matrix must contain only finite numbers; lattice vector " + std::to_string(row + 1) +
                            " has " + format_fixed4(m[row][column]));
    const double det = determinant(m);
    // Absolute threshold in cubic angstrom.
    if (std::fabs(det) < 1e-12) return fail("cell matrix is singular (zero volume)");
    const double t = 1.0 / det;
    Mat3 inv;
    inv[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) * t;
    inv[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) * t;
    inv[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) * t;
    inv[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) * t;
    inv[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) * t;
    inv[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) * t;
    inv[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) * t;
    inv[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) * t;
    inv[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) * t;
    return Lattice(m, inv);
}

Vec3 Lattice::to_cartesian(const Vec3& f) const {
    Vec3 cart;
    for (int j = 0; j < 3; ++j) cart[j] = (f[0] * matrix_[0][j] + f[1] * matrix_[1][j]) + f[2] * matrix_[2][j];
    return cart;
}

Vec3 Lattice::to_fractional(const Vec3& c) const {
    Vec3 frac;
    for (int j = 0; j < 3; ++j) frac[j] = (c[0] * inverse_[0][j] + c[1] * inverse_[1][j]) + c[2] * inverse_[2][j];
    return frac;
}

std::optional<IntVec3> nearest_image_shift(const Lattice& lattice, const Vec3& anchor, const Vec3& frac) {
    const Vec3 delta = frac - anchor;
    IntVec3 rounded{};
    for (int axis = 0; axis < 3; ++axis) {
        const double shift = std::round(-delta[axis]);
        if (!(std::fabs(shift) < 1e9)) return std::nullopt;
        rounded[axis] = static_cast<int>(shift);
    }
    const auto length_with = [&](const IntVec3& n) {
        return length(lattice.to_cartesian({delta[0] + n[0], delta[1] + n[1], delta[2] + n[2]}));
    };
    const double reach = length_with(rounded);
    // An image within `reach` has |f_i| <= reach * |column i of the inverse|
    // along each axis, which bounds the translations worth trying.
    int low[3], high[3];
    long long candidates = 1;
    for (int axis = 0; axis < 3; ++axis) {
        double column = 0.0;
        for (int row = 0; row < 3; ++row) column += lattice.inverse()[row][axis] * lattice.inverse()[row][axis];
        const double span = reach * std::sqrt(column);
        low[axis] = static_cast<int>(std::ceil(-span - delta[axis]));
        high[axis] = static_cast<int>(std::floor(span - delta[axis]));
        candidates *= std::max(1, high[axis] - low[axis] + 1);
    }
    // A cell so thin that the search would be long: the rounded image.
    if (candidates > 1000000) return rounded;
    IntVec3 best = rounded;
    double best_length = reach;
    for (int i = low[0]; i <= high[0]; ++i)
        for (int j = low[1]; j <= high[1]; ++j)
            for (int k = low[2]; k <= high[2]; ++k) {
                const IntVec3 n{i, j, k};
                const double candidate = length_with(n);
                if (candidate < best_length * (1.0 - 1e-12)) {
                    best = n;
                    best_length = candidate;
                }
            }
    return best;
}

}  // namespace kestrel
