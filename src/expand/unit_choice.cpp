#include "expand/unit_choice.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "base/fixed4.hpp"
#include "expand/pools.hpp"

namespace kestrel::expand {
namespace {

// "{occupancy}:{elements}" per alternative, in alternative order.
std::string unit_key(const std::vector<Site>& sites, const std::vector<UnitMember>& members) {
    const std::vector<double> occupancy = alternative_occupancies(sites, members);
    std::vector<std::vector<std::string>> names(occupancy.size());
    for (const UnitMember& member : members)
        for (const SpeciesOccupancy& entry : sites[member.site].species)
            names[member.alternative].push_back(entry.element.str());
    std::string key;
    for (std::size_t a = 0; a < occupancy.size(); ++a) {
        std::sort(names[a].begin(), names[a].end());
        key += format_fixed4(occupancy[a]) + ":";
        for (const std::string& name : names[a]) key += name + ",";
        key += "|";
    }
    return key;
}

const ElementName& most_occupied(const Site& site) {
    const SpeciesOccupancy* best = &site.species.front();
    for (const SpeciesOccupancy& entry : site.species)
        if (entry.occupancy > best->occupancy) best = &entry;
    return best->element;
}

// Per mixed site of a pool's units, the element of each copy that takes
// the site, in order of copies: the site's species shared out over those
// copies in proportion (a site of Fe 0.3 and Ni 0.2 in an alternative of
// 0.5 gives 3 Fe to every 2 Ni), dealt at random as a pool of sites is.
using ElementDeal = std::map<std::uint32_t, std::vector<std::uint32_t>>;  // source site -> species indices

ElementDeal deal_mixed_sites(const std::vector<Site>& sites, const std::vector<std::vector<UnitMember>>& members,
                             const std::vector<std::size_t>& units, const std::vector<std::uint32_t>& chosen,
                             ExpansionRng& rng) {
    ElementDeal deal;
    for (std::size_t k = 0; k < units.size(); ++k)
        for (const UnitMember& member : members[units[k]]) {
            const Site& site = sites[member.site];
            if (site.species.size() < 2) continue;
            std::uint64_t taking = 0;
            for (std::size_t t = k; t < chosen.size(); t += units.size()) taking += chosen[t] == member.alternative;
            Site shares = site;
            const double total = site_occupancy(site);
            for (SpeciesOccupancy& entry : shares.species)
                entry.occupancy = total > 0.0 ? entry.occupancy / total : 0.0;
            const std::vector<std::uint64_t> counts = pool_counts(shares, taking);
            std::vector<std::uint32_t>& elements = deal[member.site];
            for (std::size_t e = 0; e < counts.size(); ++e)
                elements.insert(elements.end(), counts[e], static_cast<std::uint32_t>(e));
            elements.resize(static_cast<std::size_t>(taking), static_cast<std::uint32_t>(0));
            for (std::size_t n = elements.size(); n >= 2; --n) std::swap(elements[n - 1], elements[rng.below(n)]);
        }
    return deal;
}

}  // namespace

UnitMembersOf members_of_units(const Structure& source, const Structure& supercell) {
    return {unit_members(source.units()), unit_members(supercell.units())};
}

std::vector<UnitPool> unit_pools(const Structure& source, std::uint64_t images) {
    std::vector<UnitPool> out;
    if (source.units().empty()) return out;
    const std::vector<std::vector<UnitMember>> members = unit_members(source.units());
    // Pool key -> source units, in unit order.
    std::map<std::string, std::vector<std::size_t>> pools;
    for (std::size_t u = 0; u < members.size(); ++u) pools[unit_key(source.sites(), members[u])].push_back(u);
    for (auto& [key, units] : pools) {
        UnitPool pool;
        pool.occupancy = alternative_occupancies(source.sites(), members[units.front()]);
        pool.copies = static_cast<std::uint64_t>(units.size()) * images;
        Site alternatives{{0.0, 0.0, 0.0}, {}};
        for (std::size_t a = 0; a < pool.occupancy.size(); ++a)
            alternatives.species.push_back({std::to_string(a), pool.occupancy[a]});
        pool.counts = pool_counts(alternatives, pool.copies);
        pool.units = std::move(units);
        out.push_back(std::move(pool));
    }
    return out;
}

void place_chosen(const Structure& source, const Structure& supercell, const UnitMembersOf& members,
                  const UnitPool& pool, const std::vector<std::uint32_t>& chosen, ExpansionRng& rng,
                  UnitPlacement& out) {
    const ElementDeal deal = deal_mixed_sites(source.sites(), members.source, pool.units, chosen, rng);
    std::map<std::uint32_t, std::size_t> dealt;  // per mixed source site, the copies placed so far
    for (std::uint64_t t = 0; t < pool.copies; ++t) {
        for (const UnitMember& member : members.supercell[pool.supercell_unit(t, members.source.size())]) {
            if (member.alternative != chosen[t]) {
                ++out.vacancies;
                continue;
            }
            const Site& site = supercell.sites()[member.site];
            const auto source_site = static_cast<std::uint32_t>(member.site % source.n_sites());
            const auto mixed = deal.find(source_site);
            const ElementName& element =
                mixed == deal.end() ? most_occupied(site) : site.species[mixed->second[dealt[source_site]++]].element;
            out.placed.push_back(Site{site.frac, {{element, 1.0}}});
        }
    }
    for (std::size_t a = 0; a < pool.counts.size(); ++a) {
        out.rows.push_back({pool.units.front(), a, pool.occupancy[a], pool.copies, pool.counts[a]});
        const double actual = static_cast<double>(pool.counts[a]) / static_cast<double>(pool.copies);
        out.worst = std::max(out.worst, std::fabs(actual - pool.occupancy[a]));
    }
}

UnitPlacement place_units(const Structure& source, const Structure& supercell, ExpansionRng& rng,
                          const std::stop_token& stop) {
    UnitPlacement out;
    if (source.units().empty()) return out;
    const std::uint64_t images = supercell.n_units() / source.n_units();
    const UnitMembersOf members = members_of_units(source, supercell);
    for (const UnitPool& pool : unit_pools(source, images)) {
        if (stop.stop_requested()) return out;
        std::vector<std::uint32_t> chosen;
        chosen.reserve(static_cast<std::size_t>(pool.copies));
        for (std::size_t a = 0; a < pool.counts.size(); ++a)
            chosen.insert(chosen.end(), pool.counts[a], static_cast<std::uint32_t>(a));
        if (chosen.size() < pool.copies) chosen.resize(static_cast<std::size_t>(pool.copies), kNoAlternative);
        for (std::size_t k = chosen.size(); k >= 2; --k) std::swap(chosen[k - 1], chosen[rng.below(k)]);
        place_chosen(source, supercell, members, pool, chosen, rng, out);
    }
    return out;
}

}  // namespace kestrel::expand
