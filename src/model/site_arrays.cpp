#include "model/site_arrays.hpp"

#include <string_view>
#include <unordered_map>

namespace kestrel {

Result<Structure> structure_from_arrays(const SiteArrays& arrays) {
    Result<Lattice> lattice = make_lattice(arrays.lattice);
    if (!lattice) return lattice.take_error();
    // Each site copies a record of 16 bytes rather than building a name.
    const std::vector<ElementName> names(arrays.names.begin(), arrays.names.end());
    std::vector<Site> sites;
    sites.reserve(arrays.n_sites);
    for (std::size_t i = 0; i < arrays.n_sites; ++i) {
        const double* row = arrays.positions + 3 * i;
        const Vec3 position{row[0], row[1], row[2]};
        const double occupancy = arrays.occupancies ? arrays.occupancies[i] : 1.0;
        sites.push_back(Site{arrays.cartesian ? lattice->to_fractional(position) : position,
                             {SpeciesOccupancy{names[arrays.element[i]], occupancy}}});
    }
    return make_structure(std::move(*lattice), std::move(sites));
}

Result<StructureArrays> structure_to_arrays(const Structure& structure) {
    // Occupancies alone would lose which alternatives go together.
    if (const std::uint64_t units = structure.n_units(); units > 0)
        return fail("to_arrays cannot carry units of correlated disorder; the structure has " + std::to_string(units) +
                    (units == 1 ? " unit" : " units"));
    StructureArrays out;
    const Mat3& m = structure.lattice().matrix();
    for (const Vec3& row : m) out.lattice.insert(out.lattice.end(), row.begin(), row.end());
    const std::size_t n = structure.sites().size();
    out.frac_coords.reserve(3 * n);
    out.element.reserve(n);
    out.occupancies.reserve(n);
    // Keyed by views of the sites' own names: the structure outlives the map.
    std::unordered_map<std::string_view, std::uint32_t> index;
    std::uint32_t last = 0;  // runs of one element skip the lookup
    for (std::size_t i = 0; i < n; ++i) {
        const Site& site = structure.sites()[i];
        if (site.species.size() != 1)
            return fail("to_arrays needs one element per site; site " + std::to_string(i) + " holds " +
                        std::to_string(site.species.size()));
        out.frac_coords.insert(out.frac_coords.end(), site.frac.begin(), site.frac.end());
        const SpeciesOccupancy& entry = site.species.front();
        if (out.names.empty() || out.names[last] != entry.element) {
            const auto [at, added] =
                index.try_emplace(entry.element.view(), static_cast<std::uint32_t>(out.names.size()));
            if (added) out.names.push_back(entry.element.str());
            last = at->second;
        }
        out.element.push_back(last);
        out.occupancies.push_back(entry.occupancy);
    }
    return out;
}

}  // namespace kestrel
