#include "expand/pools.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "base/fixed4.hpp"
#include "base/saturating.hpp"

namespace kestrel::expand {

std::string pool_key(const Site& site) {
    std::vector<std::string> parts;
    parts.reserve(site.species.size());
    for (const SpeciesOccupancy& entry : site.species)
        parts.push_back(entry.element.str() + ":" + format_fixed4(entry.occupancy));
    std::sort(parts.begin(), parts.end());
    std::string key;
    for (const std::string& part : parts) {
        if (!key.empty()) key += '|';
        key += part;
    }
    return key;
}

Pools supercell_pools(const Structure& source, std::uint64_t supercell_sites) {
    const std::vector<Site>& sites = source.sites();
    Pools pools;
    std::vector<std::vector<std::uint64_t>*> pool_of(sites.size(), nullptr);
    const Units& units = source.units();
    for (std::size_t s = 0; s < sites.size(); ++s)
        if (!site_is_ordered(sites[s]) && (units.empty() || !units.sites[s].in_unit()))
            pool_of[s] = &pools[pool_key(sites[s])];
    for (std::uint64_t k = 0; k < supercell_sites; ++k)
        if (std::vector<std::uint64_t>* pool = pool_of[k % sites.size()]) pool->push_back(k);
    return pools;
}

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;

std::uint64_t saturating_floor(double value) {
    const double floored = std::floor(value);
    if (!(floored > 0.0)) return 0;
    if (floored >= 18446744073709551616.0) return kMax;
    return static_cast<std::uint64_t>(floored);
}

}  // namespace

std::vector<std::uint64_t> pool_counts(const Site& representative, std::uint64_t pool_size) {
    const std::size_t m = representative.species.size();
    const double size = static_cast<double>(pool_size);
    std::vector<double> exact(m);
    std::vector<std::uint64_t> counts(m);
    double sum = 0.0;
    std::uint64_t floors = 0;
    for (std::size_t i = 0; i < m; ++i) {
        exact[i] = representative.species[i].occupancy * size;
        counts[i] = saturating_floor(exact[i]);
        sum += exact[i];
        floors = saturating_add(floors, counts[i]);
    }
    const std::uint64_t target = std::min(pool_size, saturating_floor(sum + 0.5));
    const std::uint64_t extra = std::min<std::uint64_t>(target > floors ? target - floors : 0, m);

    std::vector<std::size_t> order(m);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return exact[a] - static_cast<double>(counts[a]) > exact[b] - static_cast<double>(counts[b]);
    });
    for (std::uint64_t rank = 0; rank < extra; ++rank) ++counts[order[rank]];
    return counts;
}

}  // namespace kestrel::expand
