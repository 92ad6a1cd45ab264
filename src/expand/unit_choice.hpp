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

inline constexpr std::uint32_t kNoAlternative = 0xFFFFFFFFu;

// Copies of source units with the same alternatives (occupancies to four
// decimals and elements): copy t is image t / units.size() of source unit
// units[t % units.size()], supercell unit (t / units.size()) * U + that.
struct UnitPool {
    std::vector<std::size_t> units;  // source units, ascending
    std::vector<double> occupancy;   // per alternative
    std::uint64_t copies = 0;
    std::vector<std::uint64_t> counts;  // copies per alternative, largest remainders; the rest take none

    std::size_t supercell_unit(std::uint64_t copy, std::size_t n_source_units) const {
        return static_cast<std::size_t>(copy / units.size()) * n_source_units +
               units[static_cast<std::size_t>(copy % units.size())];
    }
};

// The members of every unit of the source and of its supercell.
struct UnitMembersOf {
    std::vector<std::vector<UnitMember>> source, supercell;
};
UnitMembersOf members_of_units(const Structure& source, const Structure& supercell);

// The pools of `source`'s units in an supercell of `images` copies of it.
std::vector<UnitPool> unit_pools(const Structure& source, std::uint64_t images);

// Places copy t of `pool` as its alternative chosen[t] (kNoAlternative:
// none) into `out`, with the report rows of the pool. `members` from
// members_of_units.
void place_chosen(const Structure& source, const Structure& supercell, const UnitMembersOf& members,
                  const UnitPool& pool, const std::vector<std::uint32_t>& chosen, ExpansionRng& rng,
                  UnitPlacement& out);

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
