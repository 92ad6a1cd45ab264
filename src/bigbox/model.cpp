#include "bigbox/model.hpp"

#include <algorithm>
#include <cstring>
#include <map>

#include "expand/expand.hpp"
#include "expand/pools.hpp"
#include "expand/rng.hpp"
#include "expand/unit_choice.hpp"
#include "model/supercell.hpp"

namespace kestrel::bigbox {
namespace {

struct FracKey {
    std::array<std::uint64_t, 3> bits;
    bool operator<(const FracKey& other) const { return bits < other.bits; }
};

FracKey key_of(const Vec3& frac) {
    FracKey key{};
    for (int k = 0; k < 3; ++k) std::memcpy(&key.bits[k], &frac[k], sizeof(double));
    return key;
}

// The element a site of a unit holds when its alternative is there: the
// one the expansion places.
std::string unit_element(const Site& site) {
    const SpeciesOccupancy* best = &site.species.front();
    for (const SpeciesOccupancy& entry : site.species)
        if (entry.occupancy > best->occupancy) best = &entry;
    return best->element.str();
}

void shuffle(std::vector<std::uint8_t>& values, expand::ExpansionRng& rng) {
    for (std::size_t k = values.size(); k >= 2; --k) std::swap(values[k - 1], values[rng.below(k)]);
}

}  // namespace

Result<BigBoxModel> build_model(const Structure& structure, const std::array<std::uint64_t, 3>& repeats,
                                const std::vector<std::int64_t>& labels, std::uint64_t seed, std::stop_token stop) {
    if (Result<Ok> checked = expand::check_occupancies(structure); !checked) return checked.take_error();
    if (!labels.empty() && labels.size() != structure.n_sites())
        return fail("sublattices gives " + std::to_string(labels.size()) + " labels for " +
                    std::to_string(structure.n_sites()) + " sites");
    Result<Structure> supercell = make_supercell(structure, repeats[0], repeats[1], repeats[2], stop);
    if (!supercell) return supercell.take_error();
    const std::vector<Site>& sites = supercell->sites();
    if (sites.size() >= 0xFFFFFFF0ULL) return fail_limit("too many sites for one model");

    BigBoxModel model;
    model.repeats = repeats;
    const Composition present = composition(structure);
    for (const auto& [name, amount] : present)
        if (amount > 0.0) model.elements.push_back(name);
    if (model.elements.empty()) return fail("the structure holds no atoms: every occupancy is zero");
    if (model.elements.size() >= kVacancy) return fail("a model holds at most 254 elements");
    const auto code = [&](const std::string& name) -> std::uint8_t {
        const auto at = std::find(model.elements.begin(), model.elements.end(), name);
        return at == model.elements.end() ? kVacancy : static_cast<std::uint8_t>(at - model.elements.begin());
    };
    model.sites.lattice = supercell->lattice().matrix();
    model.sites.n_species = model.elements.size();
    model.sites.frac.resize(sites.size());
    model.sites.species.assign(sites.size(), kVacancy);
    for (std::size_t k = 0; k < sites.size(); ++k) {
        model.sites.frac[k] = sites[k].frac;
        if (site_is_ordered(sites[k])) model.sites.species[k] = code(sites[k].species.front().element.str());
    }

    expand::ExpansionRng rng(seed);
    for (auto& [key, members] : expand::supercell_pools(structure, sites.size())) {
        if (stop.stop_requested()) return fail("interrupted");
        const Site& representative = sites[members.front()];
        const std::vector<std::uint64_t> counts = expand::pool_counts(representative, members.size());
        std::vector<std::uint8_t> fill;
        for (std::size_t t = 0; t < counts.size(); ++t)
            fill.insert(fill.end(), std::min<std::uint64_t>(counts[t], members.size() - fill.size()),
                        code(representative.species[t].element.str()));
        fill.resize(members.size(), kVacancy);
        shuffle(fill, rng);
        std::vector<std::uint32_t> pool;
        for (std::size_t i = 0; i < members.size(); ++i) {
            model.sites.species[members[i]] = fill[i];
            pool.push_back(static_cast<std::uint32_t>(members[i]));
        }
        model.pools.push_back(std::move(pool));
    }
    if (!labels.empty()) {
        std::map<std::int64_t, std::vector<std::uint32_t>> by_label;
        for (std::size_t k = 0; k < sites.size(); ++k) {
            const std::int64_t label = labels[k % structure.n_sites()];
            const bool in_unit =
                !structure.units().empty() && structure.units().sites[k % structure.n_sites()].in_unit();
            if (label >= 0 && site_is_ordered(sites[k]) && !in_unit)
                by_label[label].push_back(static_cast<std::uint32_t>(k));
        }
        for (auto& [label, pool] : by_label) model.pools.push_back(std::move(pool));
    }

    if (!structure.units().empty()) {
        // The expansion deals the alternatives; which sites it placed says
        // which alternative each copy took.
        expand::UnitPlacement dealt = expand::place_units(structure, *supercell, rng, stop);
        if (stop.stop_requested()) return fail("interrupted");
        std::map<FracKey, bool> placed;
        for (const Site& site : dealt.placed) placed[key_of(site.frac)] = true;
        const std::vector<std::vector<UnitMember>> members = unit_members(supercell->units());
        const std::size_t n_source_units = structure.n_units();
        model.unit_pools.resize(n_source_units);
        for (std::size_t u = 0; u < members.size(); ++u) {
            UnitCopy copy;
            for (const UnitMember& member : members[u]) {
                if (copy.alternatives.size() <= member.alternative) copy.alternatives.resize(member.alternative + 1);
                const std::uint8_t species = code(unit_element(sites[member.site]));
                copy.alternatives[member.alternative].push_back({member.site, species});
                model.sites.species[member.site] = placed.count(key_of(sites[member.site].frac)) ? species : kVacancy;
            }
            model.unit_pools[u % n_source_units].push_back(std::move(copy));
        }
    }
    return model;
}

}  // namespace kestrel::bigbox
