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

}  // namespace kestrel
