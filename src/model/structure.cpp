#include "model/structure.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/fixed4.hpp"

namespace kestrel {

Result<Structure> make_structure(Lattice lattice, std::vector<Site> sites) {
    return make_structure(std::move(lattice), std::move(sites), Units{});
}

namespace {

Result<Ok> check_units(const std::vector<Site>& sites, const Units& units) {
    if (units.sites.empty() && units.sources.empty()) return Ok{};
    if (units.sites.size() != sites.size()) return fail("units must give one entry per site");
    for (std::size_t s = 0; s < sites.size(); ++s) {
        const SiteUnit& place = units.sites[s];
        if (!place.in_unit()) continue;
        if (place.unit >= units.sources.size())
            return fail("site " + std::to_string(s) + " names unit " + std::to_string(place.unit) + ", but there are " +
                        std::to_string(units.sources.size()) + " units");
        if (site_is_ordered(sites[s]))
            return fail("site " + std::to_string(s) + " is fully occupied and cannot be an alternative of a unit");
    }
    const std::vector<std::vector<UnitMember>> members = unit_members(units);
    for (std::size_t u = 0; u < members.size(); ++u) {
        if (members[u].empty()) return fail("unit " + std::to_string(u) + " has no sites");
        // Alternatives are numbered from 0, so a unit has no more of them than sites.
        for (const UnitMember& member : members[u])
            if (member.alternative >= members[u].size())
                return fail("unit " + std::to_string(u) + " has " + std::to_string(members[u].size()) +
                            " sites but names alternative " + std::to_string(member.alternative));
        double sum = 0.0;
        for (double occupancy : alternative_occupancies(sites, members[u])) sum += occupancy;
        if (sum > 1.001)
            return fail("the alternatives of unit " + std::to_string(u) + " have occupancies summing to " +
                        format_fixed4(sum) + ", which exceeds 1");
    }
    return Ok{};
}

}  // namespace

Result<Structure> make_structure(Lattice lattice, std::vector<Site> sites, Units units) {
    if (sites.empty()) return fail("structure has no sites");
    for (const Site& site : sites) {
        const double sum = site_occupancy(site);
        if (sum > 1.001) return fail("a site has occupancies summing to " + format_fixed4(sum) + ", which exceeds 1");
    }
    if (Result<Ok> checked = check_units(sites, units); !checked) return checked.take_error();
    return Structure(std::move(lattice), std::move(sites), std::move(units));
}

std::vector<double> alternative_occupancies(const std::vector<Site>& sites, const std::vector<UnitMember>& members) {
    std::vector<double> occupancy;
    std::vector<double> count;
    for (const UnitMember& member : members) {
        if (member.alternative >= occupancy.size()) {
            occupancy.resize(member.alternative + std::size_t{1}, 0.0);
            count.resize(occupancy.size(), 0.0);
        }
        occupancy[member.alternative] += site_occupancy(sites[member.site]);
        count[member.alternative] += 1.0;
    }
    for (std::size_t a = 0; a < occupancy.size(); ++a)
        if (count[a] > 0.0) occupancy[a] /= count[a];
    return occupancy;
}

double site_occupancy(const Site& site) {
    double sum = 0.0;
    for (const SpeciesOccupancy& entry : site.species) sum += entry.occupancy;
    return sum;
}

double n_atoms(const Structure& structure) {
    double total = 0.0;
    for (const Site& site : structure.sites()) total += site_occupancy(site);
    return total;
}

Composition composition(const Structure& structure) {
    Composition totals;
    for (const Site& site : structure.sites())
        for (const SpeciesOccupancy& entry : site.species) totals[entry.element] += entry.occupancy;
    return totals;
}

std::vector<std::string> elements(const Structure& structure) {
    std::vector<std::string> names;
    for (const auto& [name, amount] : composition(structure)) names.push_back(name);
    return names;
}

double volume(const Structure& structure) {
    return std::fabs(determinant(structure.lattice().matrix()));
}

bool site_is_ordered(const Site& site) {
    return site.species.size() == 1 && std::fabs(site.species[0].occupancy - 1.0) < 1e-6;
}

bool is_ordered(const Structure& structure) {
    for (const Site& site : structure.sites())
        if (!site_is_ordered(site)) return false;
    return true;
}

std::vector<Vec3> cart_coords(const Structure& structure) {
    std::vector<Vec3> coords;
    coords.reserve(structure.sites().size());
    for (const Site& site : structure.sites()) coords.push_back(structure.lattice().to_cartesian(site.frac));
    return coords;
}

}  // namespace kestrel
