#include "model/structure.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <string_view>

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

std::string format_triple(const Vec3& v) {
    return "(" + format_fixed4(v[0]) + ", " + format_fixed4(v[1]) + ", " + format_fixed4(v[2]) + ")";
}

// A NaN passes every comparison test below (and the sum test above it), and
// a negative weight subtracts pairs: either gives curves that look like
// numbers and mean nothing, so they are refused where every producer passes.
Result<Ok> check_site_values(const std::vector<Site>& sites) {
    for (std::size_t s = 0; s < sites.size(); ++s) {
        const Site& site = sites[s];
        if (!std::isfinite(site.frac[0]) || !std::isfinite(site.frac[1]) || !std::isfinite(site.frac[2]))
            return fail("coordinates must be finite; site " + std::to_string(s + 1) + " has " +
                        format_triple(site.frac));
        for (const SpeciesOccupancy& entry : site.species)
            if (!std::isfinite(entry.occupancy) || entry.occupancy < 0.0)
                return fail("occupancies must be finite and not negative; site " + std::to_string(s + 1) + " has " +
                            entry.element.str() + " " + format_fixed4(entry.occupancy));
    }
    return Ok{};
}

}  // namespace

Result<Structure> make_structure(Lattice lattice, std::vector<Site> sites, Units units) {
    if (sites.empty()) return fail("structure has no sites");
    if (Result<Ok> checked = check_site_values(sites); !checked) return checked.take_error();
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
        for (const SpeciesOccupancy& entry : site.species) totals[entry.element.str()] += entry.occupancy;
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

namespace {

// A site's entries in element order, so that equality and the hash do not
// depend on the order a reader stored them in.
std::vector<const SpeciesOccupancy*> entries_by_element(const Site& site) {
    std::vector<const SpeciesOccupancy*> sorted;
    sorted.reserve(site.species.size());
    for (const SpeciesOccupancy& entry : site.species) sorted.push_back(&entry);
    std::stable_sort(sorted.begin(), sorted.end(), [](auto* x, auto* y) { return x->element < y->element; });
    return sorted;
}

bool same_entries(const Site& a, const Site& b) {
    if (a.species.size() != b.species.size()) return false;
    const std::vector<const SpeciesOccupancy*> x = entries_by_element(a), y = entries_by_element(b);
    for (std::size_t i = 0; i < x.size(); ++i)
        if (x[i]->element != y[i]->element || x[i]->occupancy != y[i]->occupancy) return false;
    return true;
}

// FNV-1a over 64-bit words: simple, and good enough to spread dict keys.
struct Hasher {
    std::uint64_t state = 0xcbf29ce484222325ULL;
    void add(std::uint64_t word) {
        state ^= word;
        state *= 0x100000001b3ULL;
    }
    // Equal doubles must hash alike, and 0.0 == -0.0.
    void add(double value) { add(std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value)); }
    void add(std::string_view text) {
        for (unsigned char c : text) add(static_cast<std::uint64_t>(c));
        add(static_cast<std::uint64_t>(text.size()));
    }
};

// A site's unit and alternative; none for a structure without units.
SiteUnit unit_of(const Structure& structure, std::size_t site) {
    return structure.units().empty() ? SiteUnit{} : structure.units().sites[site];
}

}  // namespace

bool same_structure(const Structure& a, const Structure& b) {
    if (a.lattice().matrix() != b.lattice().matrix() || a.n_sites() != b.n_sites()) return false;
    for (std::size_t i = 0; i < a.sites().size(); ++i) {
        const Site &x = a.sites()[i], &y = b.sites()[i];
        if (x.frac != y.frac || !same_entries(x, y)) return false;
        const SiteUnit p = unit_of(a, i), q = unit_of(b, i);
        if (p.unit != q.unit || p.alternative != q.alternative) return false;
    }
    return true;
}

std::uint64_t structure_hash(const Structure& structure) {
    Hasher hasher;
    for (const Vec3& row : structure.lattice().matrix())
        for (double value : row) hasher.add(value);
    for (std::size_t i = 0; i < structure.sites().size(); ++i) {
        const Site& site = structure.sites()[i];
        const SiteUnit place = unit_of(structure, i);
        hasher.add(static_cast<std::uint64_t>(place.unit));
        hasher.add(static_cast<std::uint64_t>(place.alternative));
        for (double value : site.frac) hasher.add(value);
        for (const SpeciesOccupancy* entry : entries_by_element(site)) {
            hasher.add(entry->element);
            hasher.add(entry->occupancy);
        }
    }
    return hasher.state;
}

}  // namespace kestrel
