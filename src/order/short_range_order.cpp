#include "order/short_range_order.hpp"

#include <algorithm>
#include <map>
#include <optional>

namespace kestrel::order {

SublatticeOrder describe_order(std::vector<std::uint64_t> sites, std::vector<std::string> species,
                               const NeighborShells& shells, const PairCounts& counts) {
    SublatticeOrder out{std::move(sites), std::move(species),   counts.species_count,
                        shells.radii,     coordination(shells), {}};
    const std::size_t m = counts.n_species;
    out.alpha.resize(counts.n_shells * m * m);
    for (std::size_t s = 0; s < counts.n_shells; ++s)
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = 0; b < m; ++b) out.alpha[(s * m + a) * m + b] = counts.alpha(s, a, b);
    return out;
}

namespace {

// The element a site holds, or the vacancy name; nothing for a partly
// occupied site.
std::optional<std::string> whole_species(const Site& site) {
    if (site_is_ordered(site)) return site.species.front().element.str();
    if (site_occupancy(site) < 1e-6) return kVacancyName;
    return std::nullopt;
}

}  // namespace

Result<std::vector<SublatticeOrder>> warren_cowley(const Structure& structure, std::size_t shells, double tol,
                                                   const std::vector<std::int64_t>& labels) {
    const std::vector<Site>& sites = structure.sites();
    if (!labels.empty() && labels.size() != sites.size())
        return fail("sublattices has " + std::to_string(labels.size()) + " labels for " + std::to_string(sites.size()) +
                    " sites");
    std::vector<std::string> names(sites.size());
    for (std::size_t i = 0; i < sites.size(); ++i) {
        std::optional<std::string> name = whole_species(sites[i]);
        if (!name)
            return fail("site " + std::to_string(i) + " is partly occupied: the short-range order is defined " +
                        "for ordered structures (order it first with sqs or expand_occupancies)");
        names[i] = *name;
    }
    // Sublattices in ascending label order; members in site order.
    std::map<std::int64_t, std::vector<std::uint64_t>> groups;
    for (std::size_t i = 0; i < sites.size(); ++i) groups[labels.empty() ? 0 : labels[i]].push_back(i);

    std::vector<SublatticeOrder> out;
    for (const auto& [label, members] : groups) {
        std::vector<std::string> species;
        for (std::uint64_t i : members) species.push_back(names[i]);
        std::sort(species.begin(), species.end());
        species.erase(std::unique(species.begin(), species.end()), species.end());
        // The vacancy goes last, after the elements.
        const auto vacancy = std::find(species.begin(), species.end(), kVacancyName);
        if (vacancy != species.end()) std::rotate(vacancy, vacancy + 1, species.end());
        if (species.size() > 255) return fail("a sublattice may hold at most 255 species");

        std::vector<Vec3> positions;
        std::vector<std::uint8_t> index;
        for (std::uint64_t i : members) {
            positions.push_back(sites[i].frac);
            index.push_back(
                static_cast<std::uint8_t>(std::find(species.begin(), species.end(), names[i]) - species.begin()));
        }
        Result<NeighborShells> found = neighbor_shells(structure.lattice(), positions, shells, tol, true);
        if (!found) return found.take_error();
        const PairCounts counts = count_pairs(*found, index, species.size());
        out.push_back(describe_order(members, std::move(species), *found, counts));
    }
    return out;
}

}  // namespace kestrel::order
