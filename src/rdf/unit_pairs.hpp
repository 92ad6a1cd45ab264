// The pair weights of correlated disorder. The pair loop weighs every pair
// by the product of its occupancies, as if each site were filled on its own.
// Within one unit that is wrong: two sites of one alternative come and go
// together (weight min(occ_i, occ_j)), and two alternatives never coexist
// (weight 0). Pairs within a unit are few and short, so the loop keeps its
// product weights and this correction adds the difference to the same bins.
#pragma once

#include <cstddef>
#include <vector>

#include "model/structure.hpp"
#include "neighbor/shells.hpp"
#include "rdf/histogram.hpp"

namespace kestrel {

// The weight of a pair of species entries within one unit.
inline double unit_pair_weight(bool same_alternative, double occupancy_i, double occupancy_j) {
    if (!same_alternative) return 0.0;
    return occupancy_i < occupancy_j ? occupancy_i : occupancy_j;
}

// Per histogram entry, the size of what the correction added or took there
// (empty for a structure without units).
using UnitCorrections = std::vector<double>;

// Adds, for every pair of sites of one unit at the images their unit puts
// them (distance above the pair loop's coincidence bound and at most
// `reach`, the pair loop's own search radius), the correlated weight less
// the product weight, binned by shell_of as the loop bins it, once per
// unordered pair as the pair loop counts them (before symmetrise). Nothing
// happens for a structure without units.
UnitCorrections add_unit_pair_corrections(const Structure& structure, const SpeciesTable& species, double reach,
                                          const UniformShells& shells, PairHistogram& histogram);

// After symmetrise: where the correction took away all the loop had added
// (two alternatives 0.3 A apart and nothing else in the bin), rounding
// leaves a few units in the last place, of either sign. That is no pair:
// such entries become 0.
void clear_cancelled_counts(const UnitCorrections& corrections, PairHistogram& histogram);

}  // namespace kestrel
