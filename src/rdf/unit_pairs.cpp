#include "rdf/unit_pairs.hpp"

#include <cmath>

namespace kestrel {
namespace {

// What the pair loop takes for the centre itself or a site on top of it.
constexpr double kCoincident = 1e-16;

// The members of every unit in one array, unit by unit: unit u holds
// entries [start[u], start[u + 1]). A counting sort, without a vector per unit.
struct MemberTable {
    std::vector<std::size_t> start;
    std::vector<UnitMember> members;
};

MemberTable member_table(const Units& units) {
    MemberTable table;
    table.start.assign(units.sources.size() + 1, 0);
    for (const SiteUnit& place : units.sites)
        if (place.in_unit()) ++table.start[place.unit + std::size_t{1}];
    for (std::size_t u = 0; u < units.sources.size(); ++u) table.start[u + 1] += table.start[u];
    table.members.resize(table.start.back());
    std::vector<std::size_t> next(table.start.begin(), table.start.end() - 1);
    for (std::size_t s = 0; s < units.sites.size(); ++s) {
        const SiteUnit& place = units.sites[s];
        if (place.in_unit())
            table.members[next[place.unit]++] = {static_cast<std::uint32_t>(s), place.alternative, place.cell};
    }
    return table;
}

}  // namespace

UnitCorrections add_unit_pair_corrections(const Structure& structure, const SpeciesTable& species, double reach,
                                          const UniformShells& shells, PairHistogram& histogram) {
    UnitCorrections taken;
    if (structure.units().empty()) return taken;
    taken.assign(histogram.counts.size(), 0.0);
    const std::vector<Site>& sites = structure.sites();
    const double reach2 = reach * reach;
    const std::size_t n_bins = histogram.n_bins;
    const std::size_t stride = histogram.n_elements * n_bins;
    // Entry range of a site in the species table.
    const auto first = [&](std::uint32_t s) { return species.one_per_site ? std::size_t{s} : species.offsets[s]; };
    const auto last = [&](std::uint32_t s) {
        return species.one_per_site ? std::size_t{s} + 1 : species.offsets[std::size_t{s} + 1];
    };
    const MemberTable table = member_table(structure.units());
    std::vector<Vec3> at;  // Cartesian positions of one unit's members, where the unit puts them
    for (std::size_t u = 0; u + 1 < table.start.size(); ++u) {
        const UnitMember* members = table.members.data() + table.start[u];
        const std::size_t count = table.start[u + 1] - table.start[u];
        at.resize(count);
        for (std::size_t m = 0; m < count; ++m) {
            const Vec3& frac = sites[members[m].site].frac;
            at[m] = structure.lattice().to_cartesian(
                {frac[0] + members[m].cell[0], frac[1] + members[m].cell[1], frac[2] + members[m].cell[2]});
        }
        for (std::size_t m = 0; m < count; ++m)
            for (std::size_t n = m + 1; n < count; ++n) {
                const double dx = at[n][0] - at[m][0], dy = at[n][1] - at[m][1], dz = at[n][2] - at[m][2];
                const double r2 = dx * dx + dy * dy + dz * dz;
                if (!(r2 <= reach2 && r2 > kCoincident)) continue;
                const std::uint32_t k = shell_of(std::sqrt(r2), shells);
                if (k >= n_bins) continue;
                const UnitMember& a = members[m];
                const UnitMember& b = members[n];
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
    }
    return taken;
}

void clear_cancelled_counts(const UnitCorrections& taken, PairHistogram& histogram) {
    const std::size_t n_bins = histogram.n_bins;
    const std::size_t stride = histogram.n_elements * n_bins;
    for (std::size_t entry = 0; entry < taken.size(); ++entry) {
        if (taken[entry] == 0.0) continue;
        const std::size_t a = entry / stride, b = (entry % stride) / n_bins, k = entry % n_bins;
        const std::size_t mirror = b * stride + a * n_bins + k;
        const double total = taken[entry] + (mirror == entry ? 0.0 : taken[mirror]);
        for (std::size_t at : {entry, mirror})
            if (std::fabs(histogram.counts[at]) <= 2e-12 * total) histogram.counts[at] = 0.0;
    }
}

}  // namespace kestrel
