#include "model/structure.hpp"

#include <cmath>

#include "base/fixed4.hpp"

namespace kestrel {

Result<Structure> make_structure(Lattice lattice, std::vector<Site> sites) {
    if (sites.empty()) return fail("structure has no sites");
    for (const Site& site : sites) {
        const double sum = site_occupancy(site);
        if (sum > 1.001) return fail("a site has occupancies summing to " + format_fixed4(sum) + ", which exceeds 1");
    }
    return Structure(std::move(lattice), std::move(sites));
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
