// The lattice of a CIF from its six cell parameters.
#pragma once

#include <optional>

#include "base/error.hpp"
#include "model/lattice.hpp"

namespace kestrel {

// Lengths in angstrom, angles in degrees (absent = 90). a along +x, b in the
// xy plane with positive y, c with positive z.
Result<Lattice> lattice_from_parameters(double a, double b, double c, std::optional<double> alpha,
                                        std::optional<double> beta, std::optional<double> gamma);

}  // namespace kestrel
