#include "neighbor/pair_sweep.hpp"

namespace kestrel {

GroupedSites group_by_cell(const NeighbourGrid& grid, const Lattice& lattice) {
    const CellList& cells = grid.cells;
    const std::size_t n = grid.wrapped.size();
    GroupedSites out;
    out.cell_start.assign(cells.cell_count() + 1, 0);
    out.site.reserve(n);
    out.cell_of.reserve(n);
    out.x.reserve(n);
    out.y.reserve(n);
    out.z.reserve(n);
    for (std::uint64_t ia = 0; ia < cells.na; ++ia)
        for (std::uint64_t ib = 0; ib < cells.nb; ++ib)
            for (std::uint64_t ic = 0; ic < cells.nc; ++ic) {
                const std::uint64_t cell = cells.linear_index(ia, ib, ic);
                out.cell_start[cell] = out.site.size();
                for (std::int32_t j = cells.head[cell]; j >= 0; j = cells.next[static_cast<std::size_t>(j)]) {
                    const Vec3 cart = lattice.to_cartesian(grid.wrapped[static_cast<std::size_t>(j)]);
                    out.site.push_back(static_cast<std::uint32_t>(j));
                    out.cell_of.push_back({ia, ib, ic});
                    out.x.push_back(cart[0]);
                    out.y.push_back(cart[1]);
                    out.z.push_back(cart[2]);
                }
            }
    out.cell_start[cells.cell_count()] = out.site.size();
    return out;
}

}  // namespace kestrel
