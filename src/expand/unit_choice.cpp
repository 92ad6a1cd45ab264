#include "expand/unit_choice.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "base/fixed4.hpp"
#include "expand/pools.hpp"

namespace kestrel::expand {
namespace {

constexpr std::uint32_t kNoAlternative = std::numeric_limits<std::uint32_t>::max();

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

UnitPlacement place_units(const Structure& source, const Structure& supercell, ExpansionRng& rng,
                          const std::stop_token& stop) {
    UnitPlacement out;
    if (source.units().empty()) return out;
    const std::vector<std::vector<UnitMember>> source_members = unit_members(source.units());
    const std::vector<std::vector<UnitMember>> members = unit_members(supercell.units());
    const std::size_t n_units = source_members.size();
    const std::size_t images = members.size() / n_units;

    // Pool key -> source units, in unit order.
    std::map<std::string, std::vector<std::size_t>> pools;
    for (std::size_t u = 0; u < n_units; ++u) pools[unit_key(source.sites(), source_members[u])].push_back(u);

    for (const auto& [key, units] : pools) {
        if (stop.stop_requested()) return out;
        const std::vector<double> occupancy = alternative_occupancies(source.sites(), source_members[units.front()]);
        Site alternatives{{0.0, 0.0, 0.0}, {}};
        for (std::size_t a = 0; a < occupancy.size(); ++a)
            alternatives.species.push_back({std::to_string(a), occupancy[a]});
        const std::uint64_t copies = static_cast<std::uint64_t>(units.size() * images);
        const std::vector<std::uint64_t> counts = pool_counts(alternatives, copies);

        std::vector<std::uint32_t> chosen;
        chosen.reserve(static_cast<std::size_t>(copies));
        for (std::size_t a = 0; a < counts.size(); ++a)
            chosen.insert(chosen.end(), counts[a], static_cast<std::uint32_t>(a));
        if (chosen.size() < copies) chosen.resize(static_cast<std::size_t>(copies), kNoAlternative);
        for (std::size_t k = chosen.size(); k >= 2; --k) std::swap(chosen[k - 1], chosen[rng.below(k)]);

        const ElementDeal deal = deal_mixed_sites(source.sites(), source_members, units, chosen, rng);
        std::map<std::uint32_t, std::size_t> dealt;  // per mixed source site, the copies placed so far

        // Copy t of the pool: image t / units.size() of source unit units[t % units.size()].
        for (std::size_t t = 0; t < copies; ++t) {
            const std::size_t unit = (t / units.size()) * n_units + units[t % units.size()];
            for (const UnitMember& member : members[unit]) {
                if (member.alternative != chosen[t]) {
                    ++out.vacancies;
                    continue;
                }
                const Site& site = supercell.sites()[member.site];
                const auto source_site = static_cast<std::uint32_t>(member.site % source.n_sites());
                const auto mixed = deal.find(source_site);
                const ElementName& element = mixed == deal.end()
                                                 ? most_occupied(site)
                                                 : site.species[mixed->second[dealt[source_site]++]].element;
                out.placed.push_back(Site{site.frac, {{element, 1.0}}});
            }
        }
        for (std::size_t a = 0; a < counts.size(); ++a) {
            out.rows.push_back({units.front(), a, occupancy[a], copies, counts[a]});
            const double actual = static_cast<double>(counts[a]) / static_cast<double>(copies);
            out.worst = std::max(out.worst, std::fabs(actual - occupancy[a]));
        }
    }
    return out;
}

}  // namespace kestrel::expand
