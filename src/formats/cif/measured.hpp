// Measured quantities of a CIF: cell parameters, occupancies, displacement
// parameters. They take a number with an optional standard uncertainty,
// '5.431(2)', and nothing else: a fraction there ('1/4' where a cell length
// belongs, as in a file whose length was pasted over a coordinate) would
// be read as a plainly wrong number, so the file is refused instead.
// Coordinates are not measured quantities here and keep their fractions.
#pragma once

#include <optional>
#include <string_view>

#include "base/error.hpp"
#include "formats/cif/notices.hpp"
#include "formats/cif/scanner.hpp"
#include "model/lattice.hpp"

namespace kestrel {

struct Measured {
    double value;
    std::optional<double> uncertainty;  // '5.431(2)' gives 0.002
};

// A number with an optional uncertainty in brackets, quotes stripped;
// nothing for anything else (missing values, fractions, words).
std::optional<Measured> measured_number(std::string_view value);

// Fails at the first measured value (cell lengths, angles and volume,
// occupancies, isotropic and anisotropic U and B) that is a fraction,
// naming the tag, and the row's label for a loop column.
Result<Ok> check_measured_values(const CifBlock& block);

// When _cell_volume is given and differs from the volume of `lattice` by
// more than 1% and by more than 3 of its uncertainties, a notice says so.
void check_cell_volume(const CifBlock& block, const Lattice& lattice, CifNotices& notices);

}  // namespace kestrel
