#include "order/pair_counts.hpp"

#include <limits>

namespace kestrel::order {

double PairCounts::alpha(std::size_t s, std::size_t a, std::size_t b) const {
    const std::int64_t from_a = row_sum(s, a);
    if (from_a == 0) return std::numeric_limits<double>::quiet_NaN();
    const double probability = static_cast<double>(bond(s, a, b)) / static_cast<double>(from_a);
    return 1.0 - probability / concentration(b);
}

PairCounts count_pairs(const NeighborShells& shells, const std::vector<std::uint8_t>& species, std::size_t n_species) {
    PairCounts counts;
    counts.n_shells = shells.n_shells();
    counts.n_species = n_species;
    counts.bonds.assign(counts.n_shells * n_species * n_species, 0);
    counts.row.assign(counts.n_shells * n_species, 0);
    counts.species_count.assign(n_species, 0);
    counts.n_sites = species.size();
    for (std::size_t i = 0; i < species.size(); ++i) {
        const std::size_t a = species[i];
        ++counts.species_count[a];
        for (std::size_t s = 0; s < counts.n_shells; ++s) {
            for (std::uint32_t t = shells.begin(i, s); t < shells.end(i, s); ++t)
                ++counts.bond(s, a, species[shells.neighbor[t]]);
            counts.row[s * n_species + a] += shells.end(i, s) - shells.begin(i, s);
        }
    }
    return counts;
}

std::vector<double> coordination(const NeighborShells& shells) {
    std::vector<double> mean(shells.n_shells(), 0.0);
    const std::size_t members = shells.n_members();
    for (std::size_t i = 0; i < members; ++i)
        for (std::size_t s = 0; s < mean.size(); ++s) mean[s] += shells.end(i, s) - shells.begin(i, s);
    for (double& value : mean) value /= static_cast<double>(members);
    return mean;
}

}  // namespace kestrel::order
