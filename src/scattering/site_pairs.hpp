// The pairs of sites a refined G(r) is summed over: every ordered pair
// (i, j, lattice translation n) within a reach, found with the neighbour
// query, and, when a space group is given, grouped into the sets of pairs
// its operations carry onto one another, each group kept once with its
// multiplicity.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "base/vec3.hpp"
#include "model/lattice.hpp"
#include "parallel/pool.hpp"

namespace kestrel {

// A space group on fractional coordinates, f' = R f + t, and the orbits of
// the sites under it: orbit[s] is the representative of site s's orbit,
// itself a site whose own representative it is.
struct PairSymmetry {
    std::span<const Mat3> rotations;
    std::span<const Vec3> translations;
    std::span<const std::int64_t> orbit;
};

// Pair k runs from site_i[k] to the image of site_j[k] translated by
// shift[k] (whole cells): the vector f_j + n − f_i. It stands for count[k]
// pairs of the structure.
struct SitePairTable {
    std::vector<std::int64_t> site_i, site_j;
    std::vector<IntVec3> shift;
    std::vector<double> count;
};

// Without symmetry: every ordered pair with 0 < distance ≤ reach from every
// site, each counted once, listed by first site. With symmetry: the pairs
// from each orbit's representative, grouped by the image of their vector
// that the representative's site-symmetry operations bring lowest along a
// fixed generic direction (pairs one operation apart share it); a group
// counts its pairs times the orbit's size, since each site of the orbit
// has as many. Groups are listed by representative, then by that image.
// `frac` is not wrapped: the vectors are between the positions given.
// Fails on a reach that is not a positive finite number, positions that
// are not finite, or a symmetry whose arrays do not fit the sites.
Result<SitePairTable> find_site_pairs(const Lattice& lattice, std::span<const Vec3> frac, double reach,
                                      const PairSymmetry* symmetry, ThreadPool* pool);

// The same on n_threads workers (see run_with_threads).
Result<SitePairTable> find_site_pairs_with_threads(const Lattice& lattice, std::span<const Vec3> frac, double reach,
                                                   const PairSymmetry* symmetry, std::uint64_t n_threads);

}  // namespace kestrel
