// The atoms read against the formula the file states: a disagreement is
// how a stale formula, a misread label or a symmetry applied twice shows.
#pragma once

#include "formats/cif/notices.hpp"
#include "formats/cif/scanner.hpp"
#include "model/structure.hpp"

namespace kestrel {

// Farther apart than this fraction of the formula's amount, an element disagrees.
inline constexpr double kFormulaTolerance = 0.02;

// When the block gives _chemical_formula_sum and the cell holds, for some
// element other than hydrogen (and its isotopes), an amount that differs
// from the formula's by more than kFormulaTolerance of it (an element the
// formula lacks counts as 0), one notice names those elements with both
// amounts. The formula's amounts are taken times _cell_formula_units_Z, or,
// where the file does not give Z, times the number of formula units the
// atoms read make up (elements besides hydrogen), so that proportions and
// element sets are still compared.
void check_formula(const CifBlock& block, const Structure& structure, CifNotices& notices);

}  // namespace kestrel
