// A structure built from flat arrays (one row per site, one element and an
// occupancy each) and taken apart into them again: the fast way in and out
// for millions of sites, with no per-site objects on the caller's side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "model/structure.hpp"

namespace kestrel {

struct SiteArrays {
    Mat3 lattice{};                     // rows a, b, c in angstrom
    const double* positions = nullptr;  // n rows of 3, fractional or Cartesian
    std::size_t n_sites = 0;
    bool cartesian = false;
    const std::uint32_t* element = nullptr;  // per site, an index into `names`
    std::vector<std::string> names;
    const double* occupancies = nullptr;  // per site; null: every site full
};

// Through the validating constructors, so the same rules and messages hold
// as for any other structure.
Result<Structure> structure_from_arrays(const SiteArrays& arrays);

// The arrays of a structure whose every site holds one element.
struct StructureArrays {
    std::vector<double> lattice;      // 9 numbers, rows a, b, c
    std::vector<double> frac_coords;  // n rows of 3
    std::vector<std::uint32_t> element;
    std::vector<std::string> names;  // the distinct elements, in order of first appearance
    std::vector<double> occupancies;
};

// Fails with "to_arrays needs one element per site; site {i} holds {k}",
// and for a structure with units of correlated disorder.
Result<StructureArrays> structure_to_arrays(const Structure& structure);

}  // namespace kestrel
