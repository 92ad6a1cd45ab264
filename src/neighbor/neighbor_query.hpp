// The plain linked-cell neighbour query: every image of every site within a
// cutoff of one centre, with its distance. The short-range-order shells use
// it (they need each site's own neighbour list, distances and all), and the
// tests check the pair sweep and the RDF against it, being simple enough to
// trust. The RDF itself uses the sites sorted by cell (pair_sweep).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "model/structure.hpp"
#include "neighbor/cell_list.hpp"

namespace kestrel {

struct NeighborGrid {
    std::vector<Vec3> wrapped;  // per site, in site order
    CellList cells;
};

// Fails only when the sites do not fit the 32-bit chain indices. The cutoff
// must be positive; see grid_shape for `subdivisions`.
inline Result<NeighborGrid> build_cell_list(const Lattice& lattice, std::vector<Vec3> wrapped, double cutoff,
                                            unsigned subdivisions) {
    if (Result<Ok> fits = check_search_size(wrapped.size()); !fits) return fits.take_error();

    NeighborGrid out;
    out.wrapped = std::move(wrapped);
    CellList& grid = out.cells;
    grid = grid_shape(lattice, cutoff, subdivisions);

    grid.head.assign(grid.cell_count(), -1);
    grid.next.assign(out.wrapped.size(), -1);
    for (std::size_t l = 0; l < out.wrapped.size(); ++l) {
        const GridCoords at = grid_coords(grid, out.wrapped[l]);
        const std::uint64_t cell = grid.linear_index(at.ia, at.ib, at.ic);
        grid.next[l] = grid.head[cell];
        grid.head[cell] = static_cast<std::int32_t>(l);
    }
    return out;
}

inline Result<NeighborGrid> build_cell_list(const Structure& structure, double cutoff, unsigned subdivisions = 1) {
    return build_cell_list(structure.lattice(), wrap_fractional(structure.sites()), cutoff, subdivisions);
}

// Calls visit(j, shift, r) for every site j and lattice translation `shift`
// (whole cells) whose image of j, wrapped[j] + shift, lies within the cutoff
// of centre i (r^2 <= cutoff^2, r^2 > 1e-16 so the centre itself and sites
// coinciding with it are skipped; the centre's own images are visited).
// Read-only: any number of threads may query at once.
template <class Visit>
void for_each_neighbor_image(const CellList& grid, const std::vector<Vec3>& wrapped, const Lattice& lattice,
                             double cutoff, std::size_t i, Visit&& visit) {
    const Mat3& m = lattice.matrix();
    const double cutoff2 = cutoff * cutoff;
    const Vec3& centre = wrapped[i];
    const GridCoords at = grid_coords(grid, centre);
    for (std::int64_t da = -grid.reach_a; da <= grid.reach_a; ++da)
        for (std::int64_t db = -grid.reach_b; db <= grid.reach_b; ++db)
            for (std::int64_t dc = -grid.reach_c; dc <= grid.reach_c; ++dc) {
                const ResolvedOffset target = resolve_offset(grid, at, da, db, dc);
                for (std::int32_t j = grid.head[target.cell]; j >= 0; j = grid.next[static_cast<std::size_t>(j)]) {
                    const Vec3& other = wrapped[static_cast<std::size_t>(j)];
                    const double f0 = other[0] + static_cast<double>(target.sa) - centre[0];
                    const double f1 = other[1] + static_cast<double>(target.sb) - centre[1];
                    const double f2 = other[2] + static_cast<double>(target.sc) - centre[2];
                    const double x = f0 * m[0][0] + f1 * m[1][0] + f2 * m[2][0];
                    const double y = f0 * m[0][1] + f1 * m[1][1] + f2 * m[2][1];
                    const double z = f0 * m[0][2] + f1 * m[1][2] + f2 * m[2][2];
                    const double r2 = x * x + y * y + z * z;
                    if (r2 <= cutoff2 && r2 > 1e-16)
                        visit(static_cast<std::size_t>(j),
                              IntVec3{{static_cast<int>(target.sa), static_cast<int>(target.sb),
                                       static_cast<int>(target.sc)}},
                              std::sqrt(r2));
                }
            }
}

// Calls visit(j, r) for every neighbour for_each_neighbor_image finds.
template <class Visit>
void for_each_neighbor(const CellList& grid, const std::vector<Vec3>& wrapped, const Lattice& lattice, double cutoff,
                       std::size_t i, Visit&& visit) {
    for_each_neighbor_image(grid, wrapped, lattice, cutoff, i,
                            [&](std::size_t j, const IntVec3&, double r) { visit(j, r); });
}

}  // namespace kestrel
