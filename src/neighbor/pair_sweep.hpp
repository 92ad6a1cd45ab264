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
    std::vector<double> x, y, z;            // Cartesian coordinates of the wrapped sites by position

    std::size_t size() const { return site.size(); }
};

GroupedSites group_by_cell(const NeighbourGrid& grid, const Lattice& lattice);

namespace detail {

// Distances are tested in batches: one branch-free pass computes r^2 for a
// stretch of candidates and compacts the accepted ones (about one in four
// is accepted, too many for a branch predictor to guess), the square roots
// are taken as a second pass, and only then are the pairs handed on. The
// compiler would vectorise neither the compaction nor a square root that
// may set errno, so the passes are written with intrinsics.
constexpr std::size_t kBatch = 512;
// The vector passes store whole vectors at the compacted end, up to three
// entries past the last accepted one.
constexpr std::size_t kBatchRoom = kBatch + 4;

// Tests candidates [0, count) (count <= kBatch) against the centre
// (bx, by, bz): r^2 <= cutoff2 and r^2 > 1e-16. Leaves the accepted
// candidates' distances (not squared) in r and their indices in accepted,
// and returns how many there are. The x, y, z arrays must be readable three
// entries past count (Neighbourhood pads them).
using DistanceBatch = std::size_t (*)(const double* xs, const double* ys, const double* zs, std::size_t count,
                                      double bx, double by, double bz, double cutoff2, double* r,
                                      std::uint32_t* accepted);

// The best variant this processor runs, chosen once: the x86-64 baseline
// (SSE2) everywhere, AVX2 where the processor and the system support it.
// The default build must run on any x86-64, so AVX2 is a run-time choice.
DistanceBatch distance_batch();

// The candidates of one home grid cell, gathered into contiguous arrays:
// first the home cell's own sites, then the images of every site in the
// cells of the half stencil (offsets after (0, 0, 0) in lexicographic
// order), each already moved by its lattice translation. Gathering costs
// one pass over the stencil per grid cell; every centre of the cell then
// tests all its candidates in one contiguous sweep, with no per-cell
// set-up.
struct Neighbourhood {
    // Three NaN entries past the end, so a vector load at the last
    // candidates stays in bounds (and a NaN distance is never accepted).
    std::vector<double> x, y, z;
    std::vector<std::uint32_t> position;  // grouped position of each candidate

    // The gathered cells: positions [begin, end) moved by translation.
    struct Source {
        std::size_t begin, end;
        Vec3 translation;
    };
    std::vector<Source> cells;  // kept between calls, like the arrays, to reuse their memory

    void gather(const GroupedSites& g, const CellList& grid, const Mat3& m, const GridCoords& home);
    std::size_t size() const { return position.size(); }
};

}  // namespace detail

// Calls visit(p, q, r) for every pair (centre position p in [begin, end),
// image of position q) that its centre owns. Centres are taken in ascending
// order, a grid cell at a time; a cell's candidates are gathered once and
// swept for each of its centres while they are in cache. Read-only on its
// inputs.
template <class Visit>
void for_each_pair_once(const GroupedSites& g, const CellList& grid, const Lattice& lattice, double cutoff,
                        std::size_t begin, std::size_t end, Visit&& visit) {
    const double cutoff2 = cutoff * cutoff;
    const detail::DistanceBatch batch = detail::distance_batch();
    detail::Neighbourhood near;
    double r[detail::kBatchRoom];
    std::uint32_t accepted[detail::kBatchRoom];
    for (std::size_t first = begin; first < end;) {
        const GridCoords at = g.cell_of[first];
        const std::uint64_t own = grid.linear_index(at.ia, at.ib, at.ic);
        const std::size_t cell_begin = g.cell_start[own];
        const std::size_t cell_end = g.cell_start[own + 1];
        const std::size_t last = cell_end < end ? cell_end : end;
        near.gather(g, grid, lattice.matrix(), at);
        for (std::size_t p = first; p < last; ++p) {
            // Within the home cell only the later positions: the earlier
            // ones found this pair as their own.
            for (std::size_t start = p + 1 - cell_begin; start < near.size(); start += detail::kBatch) {
                const std::size_t count = near.size() - start < detail::kBatch ? near.size() - start : detail::kBatch;
                const std::size_t n = batch(near.x.data() + start, near.y.data() + start, near.z.data() + start, count,
                                            g.x[p], g.y[p], g.z[p], cutoff2, r, accepted);
                const std::uint32_t* position = near.position.data() + start;
                for (std::size_t t = 0; t < n; ++t) visit(p, std::size_t{position[accepted[t]]}, r[t]);
            }
        }
        first = last;
    }
}

}  // namespace kestrel
