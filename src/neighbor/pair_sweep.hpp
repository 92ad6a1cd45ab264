// The pair loop the RDF runs: each unordered pair of site images within the
// cutoff is produced once, from the centre whose grid offset to the other is
// lexicographically positive (or, within the same cell and lattice image,
// from the earlier of the two). The caller adds it to both orders. This
// halves the distance tests of the per-centre query, and reading the sites
// grouped by grid cell turns the chain walks into contiguous scans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "neighbor/cell_list.hpp"

namespace kestrel {

struct GroupedSites {
    std::vector<std::uint64_t> cell_start;  // positions of grid cell c are [cell_start[c], cell_start[c + 1])
    std::vector<std::uint32_t> site;        // site index at each position; a cell keeps its chain order
    std::vector<GridCoords> cell_of;        // grid cell of each position, so a centre needs no lookup
    // Cartesian coordinates of the wrapped sites by position, as separate
    // arrays so the distance loop vectorises.
    std::vector<double> x, y, z;

    std::size_t size() const { return site.size(); }
};

GroupedSites group_by_cell(const NeighbourGrid& grid, const Lattice& lattice);

namespace detail {

// Distances are tested in batches: a branch-free pass computes r^2 for a
// stretch of candidates (which the compiler vectorises), and only then are
// the few accepted ones handed on.
constexpr std::size_t kBatch = 64;

template <class Visit>
void sweep_block(const GroupedSites& g, std::size_t begin, std::size_t end, double bx, double by, double bz,
                 double cutoff2, Visit& visit) {
    double r2[kBatch];
    const double* xs = g.x.data();
    const double* ys = g.y.data();
    const double* zs = g.z.data();
    for (std::size_t start = begin; start < end; start += kBatch) {
        const std::size_t count = end - start < kBatch ? end - start : kBatch;
        for (std::size_t k = 0; k < count; ++k) {
            const double dx = xs[start + k] - bx;
            const double dy = ys[start + k] - by;
            const double dz = zs[start + k] - bz;
            r2[k] = dx * dx + dy * dy + dz * dz;
        }
        for (std::size_t k = 0; k < count; ++k)
            if (r2[k] <= cutoff2 && r2[k] > 1e-16) visit(start + k, std::sqrt(r2[k]));
    }
}

}  // namespace detail

// Calls visit(q, r) for every pair (centre position p, image of position q)
// that this centre owns. Read-only on its inputs.
template <class Visit>
void for_each_pair_once(const GroupedSites& g, const CellList& grid, const Lattice& lattice, double cutoff,
                        std::size_t p, Visit&& visit) {
    const Mat3& m = lattice.matrix();
    const double cutoff2 = cutoff * cutoff;
    const double xi = g.x[p], yi = g.y[p], zi = g.z[p];
    const GridCoords at = g.cell_of[p];

    // Same cell, no translation: only the later positions.
    const std::uint64_t own = grid.linear_index(at.ia, at.ib, at.ic);
    detail::sweep_block(g, p + 1, g.cell_start[own + 1], xi, yi, zi, cutoff2, visit);

    // Offsets after (0, 0, 0) in lexicographic order. Consecutive cells along
    // c with the same translation are contiguous positions; they are scanned
    // as one block.
    for (std::int64_t da = 0; da <= grid.reach_a; ++da)
        for (std::int64_t db = da == 0 ? 0 : -grid.reach_b; db <= grid.reach_b; ++db) {
            std::size_t run_begin = 0, run_end = 0;
            std::int64_t run_sa = 0, run_sb = 0, run_sc = 0;
            bool open = false;
            auto flush = [&] {
                if (!open || run_begin == run_end) return;
                const double sa = static_cast<double>(run_sa), sb = static_cast<double>(run_sb),
                             sc = static_cast<double>(run_sc);
                const double tx = sa * m[0][0] + sb * m[1][0] + sc * m[2][0];
                const double ty = sa * m[0][1] + sb * m[1][1] + sc * m[2][1];
                const double tz = sa * m[0][2] + sb * m[1][2] + sc * m[2][2];
                detail::sweep_block(g, run_begin, run_end, xi - tx, yi - ty, zi - tz, cutoff2, visit);
            };
            for (std::int64_t dc = (da == 0 && db == 0) ? 1 : -grid.reach_c; dc <= grid.reach_c; ++dc) {
                const ResolvedOffset target = resolve_offset(grid, at, da, db, dc);
                const std::size_t begin = g.cell_start[target.cell], end = g.cell_start[target.cell + 1];
                if (open && begin == run_end && target.sa == run_sa && target.sb == run_sb && target.sc == run_sc) {
                    run_end = end;
                    continue;
                }
                flush();
                open = true;
                run_begin = begin, run_end = end;
                run_sa = target.sa, run_sb = target.sb, run_sc = target.sc;
            }
            flush();
        }
}

}  // namespace kestrel
