// The pair loop the RDF runs: each unordered pair of site images within the
// cutoff is produced once, from the centre whose grid offset to the other is
// lexicographically positive (or, within the same cell and lattice image,
// from the earlier of the two). The caller adds it to both orders. This
// halves the distance tests of the per-centre query, and reading the sites
// grouped by grid cell turns the chain walks into contiguous scans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <vector>

#include "neighbor/cell_list.hpp"


namespace kestrel {

struct GroupedSites {
    std::vector<std::uint64_t> cell_start;  // positions of grid cell c are [cell_start[c], cell_start[c + 1])
    std::vector<std::uint32_t> site;        // site index at each position; a cell keeps its chain order
    std::vector<GridCoords> cell_of;        // grid cell of each position, so a centre needs no lookup
    // Cartesian coordinates of the wrapped sites by position, as separate
    // arrays so the distance test vectorises. Each has three NaN entries
    // past the end, so a vector load at the last positions stays in bounds
    // (and a NaN distance is never accepted).
    std::vector<double> x, y, z;

    std::size_t size() const { return site.size(); }
};

GroupedSites group_by_cell(const NeighbourGrid& grid, const Lattice& lattice);

namespace detail {

// A stretch of contiguous positions whose images are the candidates: the
// sites at positions [begin, end) moved by the lattice translation t.
struct Segment {
    std::size_t begin, end;
    double tx, ty, tz;
};

// Tests every candidate of the segments against the centre (px, py, pz):
// r^2 <= cutoff2 and r^2 > 1e-16. Leaves the accepted candidates' positions
// in `accepted` and their distances (not squared) in r, in segment order,
// and returns how many there are. Both arrays need room for every
// candidate plus 4; the coordinate arrays must be readable three entries
// past every segment's end (group_by_cell pads them).
//
// One branch-free pass per segment computes r^2 and compacts the accepted
// candidates (about one in four is accepted, too many for a branch
// predictor to guess); the square roots are a second pass. The compiler
// would vectorise neither the compaction nor a square root that may set
// errno, so both are written with intrinsics.
using DistanceSweep = std::size_t (*)(const GroupedSites& g, const Segment* segments, std::size_t n_segments,
                                      double px, double py, double pz, double cutoff2, double* r,
                                      std::uint32_t* accepted);

// The best variant this processor runs, chosen once: the x86-64 baseline
// (SSE2) everywhere, AVX2 where the processor and the system support it.
// The default build must run on any x86-64, so AVX2 is a run-time choice.
DistanceSweep distance_sweep();

// The candidate segments of centres in grid cell `home`: first the home
// cell itself (untranslated), then the cells of the half stencil, offsets
// after (0, 0, 0) in lexicographic order, neighbours along c merged into one
// segment when their positions are contiguous and their translation is the
// same. Returns the number of candidates.
std::size_t half_stencil(const GroupedSites& g, const CellList& grid, const Mat3& m, const GridCoords& home,
                         std::vector<Segment>& segments);

}  // namespace detail

// Calls visit(p, q, r) for every pair (centre position p in [begin, end),
// image of position q) that its centre owns. Centres are taken in ascending
// order, a grid cell at a time: the cell's segments are resolved once, and
// each centre sweeps them all in one call, while they are in cache.
// Read-only on its inputs. Gives up, leaving the rest of the range undone,
// once `stop` is requested; it is looked at before each grid cell.
template <class Visit>
void for_each_pair_once(const GroupedSites& g, const CellList& grid, const Lattice& lattice, double cutoff,
                        std::size_t begin, std::size_t end, const std::stop_token& stop, Visit&& visit) {
    const double cutoff2 = cutoff * cutoff;
    const detail::DistanceSweep sweep = detail::distance_sweep();
    std::vector<detail::Segment> segments;
    std::vector<double> r;
    std::vector<std::uint32_t> accepted;
    for (std::size_t first = begin; first < end;) {
        if (stop.stop_requested()) return;
        const GridCoords at = g.cell_of[first];
        const std::uint64_t own = grid.linear_index(at.ia, at.ib, at.ic);
        const std::size_t cell_end = g.cell_start[own + 1];
        const std::size_t last = cell_end < end ? cell_end : end;
        const std::size_t candidates = detail::half_stencil(g, grid, lattice.matrix(), at, segments);
        if (r.size() < candidates + 4) r.resize(candidates + 4), accepted.resize(candidates + 4);
        for (std::size_t p = first; p < last; ++p) {
            // Within the home cell only the later positions: the earlier
            // ones found these pairs as their own.
            segments[0].begin = p + 1;
            const std::size_t n =
                sweep(g, segments.data(), segments.size(), g.x[p], g.y[p], g.z[p], cutoff2, r.data(), accepted.data());
            for (std::size_t t = 0; t < n; ++t) visit(p, std::size_t{accepted[t]}, r[t]);
        }
        first = last;
    }
}

}  // namespace kestrel
