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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Distances are tested in batches: one branch-free pass computes r^2 for a
// stretch of candidates and compacts the accepted ones (about one in five
// is accepted, too many for a branch predictor to guess), the square roots
// are taken as a second pass, and only then are the pairs handed on. On
// x86-64 the passes use SSE2, two candidates per step: the compiler would
// not vectorise the compaction, nor a square root that may set errno.
constexpr std::size_t kBatch = 128;

inline std::size_t accept_batch(const double* xs, const double* ys, const double* zs, std::size_t count, double bx,
                                double by, double bz, double cutoff2, double* r, std::uint32_t* accepted) {
    std::size_t n = 0;
    std::size_t k = 0;
#if defined(__SSE2__)
    const __m128d cx = _mm_set1_pd(bx), cy = _mm_set1_pd(by), cz = _mm_set1_pd(bz);
    const __m128d upper = _mm_set1_pd(cutoff2), lower = _mm_set1_pd(1e-16);
    for (; k + 2 <= count; k += 2) {
        const __m128d dx = _mm_sub_pd(_mm_loadu_pd(xs + k), cx);
        const __m128d dy = _mm_sub_pd(_mm_loadu_pd(ys + k), cy);
        const __m128d dz = _mm_sub_pd(_mm_loadu_pd(zs + k), cz);
        const __m128d d2 = _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
        const int mask = _mm_movemask_pd(_mm_and_pd(_mm_cmple_pd(d2, upper), _mm_cmpgt_pd(d2, lower)));
        _mm_storel_pd(r + n, d2);
        accepted[n] = static_cast<std::uint32_t>(k);
        n += static_cast<std::size_t>(mask & 1);
        _mm_storeh_pd(r + n, d2);
        accepted[n] = static_cast<std::uint32_t>(k + 1);
        n += static_cast<std::size_t>(mask >> 1);
    }
#endif
    for (; k < count; ++k) {
        const double dx = xs[k] - bx, dy = ys[k] - by, dz = zs[k] - bz;
        const double d2 = dx * dx + dy * dy + dz * dz;
        r[n] = d2;
        accepted[n] = static_cast<std::uint32_t>(k);
        n += static_cast<std::size_t>((d2 <= cutoff2) & (d2 > 1e-16));
    }
    return n;
}

inline void square_roots(double* values, std::size_t n) {
    std::size_t t = 0;
#if defined(__SSE2__)
    for (; t + 2 <= n; t += 2) _mm_storeu_pd(values + t, _mm_sqrt_pd(_mm_loadu_pd(values + t)));
#endif
    for (; t < n; ++t) values[t] = std::sqrt(values[t]);
}

template <class Visit>
void sweep_block(const GroupedSites& g, std::size_t begin, std::size_t end, double bx, double by, double bz,
                 double cutoff2, Visit& visit) {
    double r[kBatch];
    std::uint32_t accepted[kBatch];
    for (std::size_t start = begin; start < end; start += kBatch) {
        const std::size_t count = end - start < kBatch ? end - start : kBatch;
        const std::size_t n = accept_batch(g.x.data() + start, g.y.data() + start, g.z.data() + start, count, bx, by,
                                           bz, cutoff2, r, accepted);
        square_roots(r, n);
        for (std::size_t t = 0; t < n; ++t) visit(start + accepted[t], r[t]);
    }
}

}  // namespace detail

// Calls visit(p, q, r) for every pair (centre position p in [begin, end),
// image of position q) that its centre owns. Centres are taken in ascending
// order, a grid cell at a time: the neighbour rows are resolved once per
// cell and each row is scanned for all of the cell's centres while it is
// in cache. Read-only on its inputs.
template <class Visit>
void for_each_pair_once(const GroupedSites& g, const CellList& grid, const Lattice& lattice, double cutoff,
                        std::size_t begin, std::size_t end, Visit&& visit) {
    const Mat3& m = lattice.matrix();
    const double cutoff2 = cutoff * cutoff;
    for (std::size_t first = begin; first < end;) {
        const GridCoords at = g.cell_of[first];
        const std::uint64_t own = grid.linear_index(at.ia, at.ib, at.ic);
        const std::size_t cell_end = g.cell_start[own + 1];
        const std::size_t last = cell_end < end ? cell_end : end;

        // Same cell, no translation: only the later positions.
        for (std::size_t p = first; p < last; ++p) {
            auto from_p = [&](std::size_t q, double r) { visit(p, q, r); };
            detail::sweep_block(g, p + 1, cell_end, g.x[p], g.y[p], g.z[p], cutoff2, from_p);
        }

        auto scan = [&](std::size_t run_begin, std::size_t run_end, std::int64_t sa, std::int64_t sb,
                        std::int64_t sc) {
            if (run_begin == run_end) return;
            const double fa = static_cast<double>(sa), fb = static_cast<double>(sb), fc = static_cast<double>(sc);
            const double tx = fa * m[0][0] + fb * m[1][0] + fc * m[2][0];
            const double ty = fa * m[0][1] + fb * m[1][1] + fc * m[2][1];
            const double tz = fa * m[0][2] + fb * m[1][2] + fc * m[2][2];
            for (std::size_t p = first; p < last; ++p) {
                auto from_p = [&](std::size_t q, double r) { visit(p, q, r); };
                detail::sweep_block(g, run_begin, run_end, g.x[p] - tx, g.y[p] - ty, g.z[p] - tz, cutoff2, from_p);
            }
        };

        // Offsets after (0, 0, 0) in lexicographic order. Consecutive cells
        // along c with the same translation are contiguous positions; they
        // are scanned as one block.
        for (std::int64_t da = 0; da <= grid.reach_a; ++da)
            for (std::int64_t db = da == 0 ? 0 : -grid.reach_b; db <= grid.reach_b; ++db) {
                std::size_t run_begin = 0, run_end = 0;
                std::int64_t run_sa = 0, run_sb = 0, run_sc = 0;
                for (std::int64_t dc = (da == 0 && db == 0) ? 1 : -grid.reach_c; dc <= grid.reach_c; ++dc) {
                    const ResolvedOffset target = resolve_offset(grid, at, da, db, dc);
                    const std::size_t cell_begin = g.cell_start[target.cell];
                    const std::size_t next_end = g.cell_start[target.cell + 1];
                    if (cell_begin == run_end && target.sa == run_sa && target.sb == run_sb && target.sc == run_sc) {
                        run_end = next_end;
                        continue;
                    }
                    scan(run_begin, run_end, run_sa, run_sb, run_sc);
                    run_begin = cell_begin, run_end = next_end;
                    run_sa = target.sa, run_sb = target.sb, run_sc = target.sc;
                }
                scan(run_begin, run_end, run_sa, run_sb, run_sc);
            }
        first = last;
    }
}

}  // namespace kestrel
