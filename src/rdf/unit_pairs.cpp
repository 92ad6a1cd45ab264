#include "rdf/unit_pairs.hpp"

#include <cmath>
#include <unordered_map>

namespace kestrel {
namespace {

// What the pair loop takes for the centre itself or a site on top of it.
constexpr double kCoincident = 1e-16;

double squared_distance(const Lattice& lattice, const Site& a, const UnitMember& ma, const Site& b,
                        const UnitMember& mb) {
    Vec3 delta;
    for (int axis = 0; axis < 3; ++axis) delta[axis] = (b.frac[axis] + mb.cell[axis]) - (a.frac[axis] + ma.cell[axis]);
    const Vec3 d = lattice.to_cartesian(delta);
    return d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
}

}  // namespace

UnitCorrections add_unit_pair_corrections(const Structure& structure, const SpeciesTable& species, double cutoff,
                                          const UniformShells& shells, PairHistogram& histogram) {
    UnitCorrections taken;
    if (structure.units().empty()) return taken;
    const std::vector<Site>& sites = structure.sites();
    const double cutoff2 = cutoff * cutoff;
    const std::size_t n_bins = histogram.n_bins;
    const std::size_t stride = histogram.n_elements * n_bins;
    // Entry range of a site in the species table.
    const auto first = [&](std::uint32_t s) { return species.one_per_site ? std::size_t{s} : species.offsets[s]; };
    const auto last = [&](std::uint32_t s) {
        return species.one_per_site ? std::size_t{s} + 1 : species.offsets[std::size_t{s} + 1];
    };
    for (const std::vector<UnitMember>& members : unit_members(structure.units()))
        for (std::size_t m = 0; m < members.size(); ++m)
            for (std::size_t n = m + 1; n < members.size(); ++n) {
                const UnitMember& a = members[m];
                const UnitMember& b = members[n];
                const double r2 = squared_distance(structure.lattice(), sites[a.site], a, sites[b.site], b);
                if (!(r2 <= cutoff2 && r2 > kCoincident)) continue;
                const std::uint32_t k = shell_of(std::sqrt(r2), shells);
                if (k >= n_bins) continue;
                const bool same = a.alternative == b.alternative;
                for (std::size_t i = first(a.site); i < last(a.site); ++i)
                    for (std::size_t j = first(b.site); j < last(b.site); ++j) {
                        const double oi = species.occupancy[i], oj = species.occupancy[j];
                        const std::size_t entry = species.element[i] * stride + species.element[j] * n_bins + k;
                        const double change = unit_pair_weight(same, oi, oj) - oi * oj;
                        histogram.counts[entry] += change;
                        taken[entry] += std::fabs(change);
                    }
            }
    return taken;
}

void clear_cancelled_counts(const UnitCorrections& taken, PairHistogram& histogram) {
    const std::size_t n_bins = histogram.n_bins;
    const std::size_t stride = histogram.n_elements * n_bins;
    for (const auto& [entry, size] : taken) {
        const std::size_t a = entry / stride, b = (entry % stride) / n_bins, k = entry % n_bins;
        const std::size_t mirror = b * stride + a * n_bins + k;
        const auto other = taken.find(mirror);
        const double total = size + (other == taken.end() || mirror == entry ? 0.0 : other->second);
        for (std::size_t at : {entry, mirror})
            if (std::fabs(histogram.counts[at]) <= 2e-12 * total) histogram.counts[at] = 0.0;
    }
}

}  // namespace kestrel
