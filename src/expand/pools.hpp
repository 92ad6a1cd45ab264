// Grouping the disordered sites of the supercell into pools of equivalent
// sites, and sharing each pool's sites out between its elements.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "model/structure.hpp"

namespace kestrel::expand {

// Composition text of a site: "{element}:{occupancy to four decimals}" per
// species, sorted byte-wise and joined by "|". Sites whose occupancies agree
// to four decimals share a pool whatever order they list their species in.
std::string pool_key(const Site& site);

// Pool key -> supercell site indices, ascending. std::map orders std::string
// keys byte by byte, a prefix first, which fixes the order pools are filled in.
using Pools = std::map<std::string, std::vector<std::uint64_t>>;

// The partly occupied sites of a supercell of `source` (site k an image of
// source site k mod N, as make_supercell orders them), by pool key. Sites
// of units are left out: they take whole alternatives (place_units). Images
// copy their source's species, so a key is computed once per source site.
Pools supercell_pools(const Structure& source, std::uint64_t supercell_sites);

// Atoms per species of the representative (in its stored order) for a pool of
// `pool_size` sites: floors first, then largest remainders up to the rounded
// total, never above the pool size. Ties go to the earlier species.
std::vector<std::uint64_t> pool_counts(const Site& representative, std::uint64_t pool_size);

}  // namespace kestrel::expand
