// Expansion of units of correlated disorder: each copy of a unit in the
// supercell takes one whole alternative, or none, never two.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "expand/rng.hpp"
#include "model/structure.hpp"

namespace kestrel::expand {

// One alternative of one pool of equivalent units: what it was asked for
// and how many copies took it.
struct UnitReportRow {
    std::uint64_t unit;  // the first source unit of the pool
    std::uint64_t alternative;
    double target_occupancy;
    std::uint64_t units_in_pool;
    std::uint64_t copies_placed;
};

struct UnitPlacement {
    std::vector<Site> placed;     // whole atoms of the chosen alternatives
    std::uint64_t vacancies = 0;  // unit sites left empty
    std::vector<UnitReportRow> rows;
    double worst = 0.0;  // the largest |copies / units - occupancy| of any alternative
};

// `supercell` is an n x n x n supercell of `source`, so supercell unit
// image * U + u is a copy of source unit u. Copies of source units with the
// same alternatives (occupancies to four decimals and elements) form a
// pool; a pool's copies are shared out between its alternatives with the
// same largest-remainder counts and random deal as a pool of sites. A
// chosen alternative places each of its sites; a mixed site's elements are
// shared out over the copies that take it in proportion, dealt at random.
UnitPlacement place_units(const Structure& source, const Structure& supercell, ExpansionRng& rng,
                          const std::stop_token& stop);

}  // namespace kestrel::expand
