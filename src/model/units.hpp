// Units of correlated disorder: places in the crystal that hold exactly one
// of their alternatives, or nothing when the alternatives' occupancies sum
// below 1. A molecule refined in two orientations is one unit with two
// alternatives; so is an atom split over two positions. The atoms of one
// alternative come and go together, and two alternatives never coexist.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kestrel {

inline constexpr std::uint32_t kNoUnit = std::numeric_limits<std::uint32_t>::max();

// How a unit was found: declared by the caller, from the disorder groups of a
// file, from symmetry images of an atom landing on top of it, or from
// partly occupied positions too close to be occupied together.
enum class UnitSource : std::uint8_t { declared, groups, symmetry, distance };

// "declared", "groups", "symmetry" or "distance".
const char* unit_source_name(UnitSource source);

// A site's place in a unit. The site takes part at frac + cell: the lattice
// translation that puts it next to the other members of its unit (a unit
// may straddle a cell face while every site is stored in the cell).
struct SiteUnit {
    std::uint32_t unit = kNoUnit;
    std::uint32_t alternative = 0;
    std::array<std::int32_t, 3> cell{0, 0, 0};

    bool in_unit() const { return unit != kNoUnit; }
};

// Per site its SiteUnit, and per unit how it was found. Both empty for a
// structure without units.
struct Units {
    std::vector<SiteUnit> sites;
    std::vector<UnitSource> sources;

    bool empty() const { return sources.empty(); }
};

// One member of a unit, as the pair weights and the expansion walk them.
struct UnitMember {
    std::uint32_t site;
    std::uint32_t alternative;
    std::array<std::int32_t, 3> cell;
};

// The members of every unit, in site order: entry u lists unit u's sites.
std::vector<std::vector<UnitMember>> unit_members(const Units& units);

// Units without sites dropped, the rest numbered in order of their first
// site and each unit's alternatives from 0 in order of their first site, so
// that units built piecemeal compare equal to the same units built at once.
// No units left: both lists empty.
void renumber_units(Units& units);

}  // namespace kestrel
