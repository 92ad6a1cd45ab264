// The smallest cell an average crystal repeats: a supercell built by copying
// a cell holds only that cell's Bragg reflections (all others cancel
// exactly), so its structure factors can be summed over the small cell, at a
// cost that no longer grows with the number of copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/lattice.hpp"

namespace kestrel {

// Fractional coordinates of the given cell within which two sites count as
// one place. Copies made by a supercell differ by rounding only (1e-15); a
// true difference this small moves a phase Q·r by under 1e-6 at Q = 25 Å⁻¹
// in a 50 Å cell, below what any input coordinate means.
inline constexpr double kRepeatTolerance = 1e-9;

// An average crystal as the Bragg sum reads it: each site's occupancy per
// element, one row of n_elements per site.
struct AverageCell {
    Mat3 lattice{};  // rows a, b, c in Å
    std::vector<Vec3> frac;
    std::vector<double> occupancy;  // n_sites x n_elements, row-major
    std::size_t n_elements = 0;

    std::size_t n_sites() const { return frac.size(); }
    const double* occupancy_of(std::size_t site) const { return occupancy.data() + site * n_elements; }
};

struct RepeatingCell {
    AverageCell cell;          // the smallest cell, empty sites left out
    std::uint64_t copies = 1;  // of it in the given cell
};

// The smallest cell whose copies make up `cell`: the pure translations that
// map every site onto a site with the same occupancies, found from the
// rarest kind of site, and the lattice they span with the given one (an
// exact integer basis, then shortened pair by pair). Sites that hold
// nothing are dropped first, as they scatter nothing. When no translation
// maps the crystal onto itself, `cell` comes back unchanged (less its empty
// sites) with copies = 1.
RepeatingCell smallest_repeating_cell(const AverageCell& cell);

}  // namespace kestrel
