// Whether a block's symmetry operations fit its cell. A rotation that does
// not keep the cell's metric maps atoms onto places at other distances: the
// file's cell and symmetry disagree (a primitive cell given with a centred
// symbol, hexagonal operations on rhombohedral axes), and expanding it would
// give a plainly wrong structure.
#pragma once

#include <string>
#include <vector>

#include "base/error.hpp"
#include "formats/cif/notices.hpp"
#include "formats/cif/operations.hpp"
#include "model/lattice.hpp"
#include "symmetry/operation.hpp"

namespace kestrel {

// A rotation R keeps the metric G (G_ij = a_i . a_j) when every element of
// RᵀGR - G is within this fraction of sqrt(G_ii G_jj): lengths that agree to
// about 1% and angles to about 1 degree, which the rounding and the
// refinement of real cells stay well inside.
inline constexpr double kMetricTolerance = 0.02;

bool keeps_metric(const Mat3& rotation, const Lattice& lattice);

// The cell as a message shows it: 'a = b = c = 3.812 Å, α = β = γ = 60°'.
std::string describe_cell(const Lattice& lattice);

// The block's operations if every one keeps the metric. An R symbol without
// setting whose hexagonal operations do not fit, on a cell whose
// rhombohedral ones do, is read on rhombohedral axes with a notice. Any other
// misfit fails with a message naming the symbol or the first operation that
// does not fit, the cell, and what to do.
Result<std::vector<SymmetryOperation>> operations_fitting_cell(BlockOperations block_operations, const Lattice& lattice,
                                                               CifNotices& notices);

}  // namespace kestrel
