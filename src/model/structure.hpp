// The crystal-structure record: a lattice and sites that may be shared by
// several elements with fractional occupancies. Immutable once built.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "model/lattice.hpp"
#include "model/species_list.hpp"
#include "model/units.hpp"

namespace kestrel {

struct Site {
    Vec3 frac;  // stored as given, never wrapped
    SpeciesList species;
};

class Structure {
public:
    const Lattice& lattice() const { return lattice_; }
    const std::vector<Site>& sites() const { return sites_; }
    std::uint64_t n_sites() const { return sites_.size(); }
    // Empty when no site belongs to a unit of correlated disorder.
    const Units& units() const { return units_; }
    std::uint64_t n_units() const { return units_.sources.size(); }

private:
    friend Result<Structure> make_structure(Lattice lattice, std::vector<Site> sites, Units units);
    Structure(Lattice lattice, std::vector<Site> sites, Units units)
        : lattice_(std::move(lattice)), sites_(std::move(sites)), units_(std::move(units)) {}

    Lattice lattice_;
    std::vector<Site> sites_;
    Units units_;
};

// The only way to get a Structure: rejects an empty site list, coordinates
// that are not finite, occupancies that are negative or not finite, and any
// site whose occupancies add up to more than 1.001.
Result<Structure> make_structure(Lattice lattice, std::vector<Site> sites);

// The same with units of correlated disorder. Also rejects a unit list that
// does not give one entry per site, a unit number without a source, a unit
// without sites, a site of a unit that is fully occupied, and a unit whose
// alternatives' occupancies add up to more than 1.001.
Result<Structure> make_structure(Lattice lattice, std::vector<Site> sites, Units units);

// Byte-wise ascending order of element names (std::string compares as unsigned bytes).
using Composition = std::map<std::string, double>;

double site_occupancy(const Site& site);
double n_atoms(const Structure& structure);
Composition composition(const Structure& structure);
std::vector<std::string> elements(const Structure& structure);
double volume(const Structure& structure);
// One species at |occupancy - 1| < 1e-6: the rule the disorder summary,
// the expansion and the printed form all share.
bool site_is_ordered(const Site& site);
bool is_ordered(const Structure& structure);
std::vector<Vec3> cart_coords(const Structure& structure);

// The occupancy of each alternative of one unit, indexed by alternative: the
// mean site occupancy of its members (0 for a number no member uses). Files
// refine each atom of a group on its own (0.767, 0.757, 0.765), so the mean,
// not the largest, is what the group holds.
std::vector<double> alternative_occupancies(const std::vector<Site>& sites, const std::vector<UnitMember>& members);
// Exact equality: the same lattice matrix, and site by site the same
// coordinates, the same {element: occupancy} entries (in any stored order)
// and the same unit and alternative, every number compared bit for bit save
// that 0.0 equals -0.0. How a unit was found, and which image of a site
// joins it (the readers and the constructor may pick different, equivalent
// ones), are not part of it.
bool same_structure(const Structure& a, const Structure& b);
// A hash that agrees with same_structure.
std::uint64_t structure_hash(const Structure& structure);

}  // namespace kestrel
