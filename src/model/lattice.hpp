// The periodic cell: three lattice vectors as rows, and their inverse.
#pragma once

#include <array>
#include <optional>

#include "base/error.hpp"
#include "base/vec3.hpp"

namespace kestrel {

using Mat3 = std::array<Vec3, 3>;

double determinant(const Mat3& m);

class Lattice {
public:
    // Rows a, b, c in angstrom; a Cartesian row vector is frac times matrix.
    const Mat3& matrix() const { return matrix_; }
    // frac_j = sum_i cart_i * inverse[i][j].
    const Mat3& inverse() const { return inverse_; }

    Vec3 to_cartesian(const Vec3& frac) const;
    Vec3 to_fractional(const Vec3& cart) const;

private:
    friend Result<Lattice> make_lattice(const Mat3& matrix);
    Lattice(const Mat3& matrix, const Mat3& inverse) : matrix_(matrix), inverse_(inverse) {}

    Mat3 matrix_;
    Mat3 inverse_;
};

// The only way to get a Lattice: rejects |det| < 1e-12 as singular.
Result<Lattice> make_lattice(const Mat3& matrix);

// The lattice translation that brings `frac` nearest to `anchor` in space,
// not merely along each fractional axis: in a skewed basis the two differ.
// Ties keep the translation that rounds each axis. Nothing when a
// coordinate is not a finite number of modest size.
std::optional<IntVec3> nearest_image_shift(const Lattice& lattice, const Vec3& anchor, const Vec3& frac);

}  // namespace kestrel
