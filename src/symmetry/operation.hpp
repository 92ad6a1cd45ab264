// Crystallographic symmetry operations written as 'x, y, z' triples.
#pragma once

#include <string_view>

#include "base/error.hpp"
#include "model/lattice.hpp"

namespace kestrel {

// p'_i = sum_j rotation[i][j] * p_j + translation_i, in fractional units.
// Nothing is reduced or validated: a CIF may carry any coefficients.
struct SymmetryOperation {
    Mat3 rotation{};
    Vec3 translation{};

    Vec3 apply(const Vec3& p) const;
    // A rotation part without an inverse squashes the cell onto a plane or a
    // line: no crystallographic operation does that.
    bool is_invertible() const;
    // The unit rotation with a whole-number translation: the identity up to
    // a lattice translation.
    bool is_identity_modulo_lattice() const;
};

SymmetryOperation identity_operation();

// '-x+1/2, y, z+1/4', quoted or not, with upper- or lower-case axes.
Result<SymmetryOperation> parse_symmetry_operation(std::string_view text);

// A number or a fraction of two numbers ('0.5', '1/2').
Result<double> parse_symmetry_number(std::string_view text);

}  // namespace kestrel
