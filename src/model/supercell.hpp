// Repeating a structure along its three lattice vectors.
#pragma once

#include <cstdint>
#include <stop_token>

#include "base/error.hpp"
#include "model/structure.hpp"

namespace kestrel {

// The most sites a supercell may hold: the neighbor grid of the RDF engine
// numbers sites with signed 32-bit indices, so anything larger could be built
// but never analysed.
inline constexpr std::uint64_t kMaxSupercellSites = 2147483647;

// na x nb x nc copies of the structure. Site order is (i, j, k, source site)
// with i outermost; a coordinate is (x + i) / na, never wrapped. Fails on a
// zero count, on more than kMaxSupercellSites sites, and on a site list that
// would not fit in this machine's memory; with "interrupted" once `stop` is
// requested.
Result<Structure> make_supercell(const Structure& structure, std::uint64_t na, std::uint64_t nb, std::uint64_t nc,
                                 std::stop_token stop = {});

}  // namespace kestrel
