// The pair loop the RDF runs: each unordered pair of site images within the
// cutoff is produced once, from the centre whose grid offset to the other is
// lexicographically positive (or, within the same cell and lattice image,
// from the earlier of the two). The caller adds it to both orders. This
// halves the distance tests of the per-centre query, and reading the sites
// grouped by grid cell makes each row of neighbouring cells one contiguous
// scan.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <stop_token>
#include <vector>

#include "base/scratch.hpp"
#include "neighbor/cell_list.hpp"
#include "neighbor/shells.hpp"
#include "parallel/pool.hpp"

namespace kestrel {

struct GroupedSites {
    ScratchArray<std::uint32_t> cell_start;  // positions of grid cell c are [cell_start[c], cell_start[c + 1])
    // Site index at each position; within a cell in descending order (the
    // order the linked-cell chains of the first search gave, which the pair
    // sums have always followed, so they keep their order to the last bit).
    ScratchArray<std::uint32_t> site;
    // Cartesian coordinates of the wrapped sites by position, as separate
    // arrays so the distance test vectorises. Each has three NaN entries
    // past the end, so a vector load at the last positions stays in bounds
    // (and a NaN distance is never accepted).
    ScratchArray<double> x, y, z;
    std::size_t count = 0;

    std::size_t size() const { return count; }
    // The grid cell holding `position` (a binary search over cell_start).
    std::uint64_t cell_holding(std::size_t position) const;
};

// Where the grouping reads each site's fractional coordinates, wrapped into
// [0, 1): the sites' own, wrapped on the fly, or coordinates already
// wrapped in another basis of the lattice (a reduced cell).
struct WrappedCoordinates {
    const std::vector<Site>& sites;
    const std::vector<Vec3>* in_basis = nullptr;  // when set, read instead of the sites

    std::size_t size() const { return sites.size(); }
    Vec3 at(std::size_t i) const { return in_basis ? (*in_basis)[i] : wrap_fractional(sites[i].frac); }
};

// The sites sorted by grid cell with a counting sort: the cells of the
// sites and their coordinates are worked out in parallel chunks on `pool`
// (null: on this thread), the sort itself is one serial pass. Fails only
// when the sites do not fit 32-bit indices.
Result<GroupedSites> group_by_cell(const CellList& grid, const Lattice& lattice, const WrappedCoordinates& coordinates,
                                   ThreadPool* pool);

// The cutoff sphere |f M|^2 <= cutoff^2 in fractional differences f,
// written as a sum of squares that brings in one axis at a time:
//   gaa fa^2 + gbb (fb + mba fa)^2 + gcc (fc + mca fa + mcb fb)^2.
// Given the range of fa, the first term bounds how far fb may go, and
// given fa and fb the first two bound fc: so the search visits only the
// grid cells a sphere around some point of the home cell can reach, in a
// skewed or thin cell as much as in a cube. (gaa is the squared width of
// the cell across a.)
struct SphereAxes {
    double gaa, gbb, gcc, mba, mca, mcb;
    static SphereAxes of(const Mat3& m);
};

// One row of the half stencil: the grid-cell offsets (da, db, dc) for dc
// in [dc_lo, dc_hi].
struct StencilRow {
    std::int64_t da, db, dc_lo, dc_hi;
    // From the home cell's linear index to those of the row's first and
    // last cells, when no offset wraps (a home cell away from the edges).
    std::int64_t first_step, last_step;
};

// The grid-cell offsets a centre's query visits, half of them: every
// offset after (0, 0, 0) in lexicographic order whose cells can hold a
// pair within the cutoff (the home cell itself is the caller's). An offset
// and its opposite hold the same pairs seen from either end, so only one
// of them is searched. Rows are kept when there are few (the common
// case); otherwise each query derives them again, so a cutoff spanning
// thousands of cells needs no memory for them.
class HalfStencil {
public:
    HalfStencil(const CellList& grid, const Lattice& lattice, double cutoff);

    // Calls row(StencilRow) in order; stops early when it returns false.
    template <class Row>
    bool for_each_row(Row&& row) const {
        if (cached_) {
            for (const StencilRow& r : rows_)
                if (!row(r)) return false;
            return true;
        }
        for (std::int64_t da = 0; da <= grid_.reach_a; ++da) {
            std::int64_t db_lo, db_hi;
            if (!b_range(da, db_lo, db_hi)) continue;
            if (da == 0) db_lo = std::max<std::int64_t>(db_lo, 0);
            for (std::int64_t db = db_lo; db <= db_hi; ++db) {
                StencilRow r{da, db, 0, -1, 0, 0};
                if (!c_range(da, db, r.dc_lo, r.dc_hi)) continue;
                if (da == 0 && db == 0) r.dc_lo = std::max<std::int64_t>(r.dc_lo, 1);
                if (r.dc_lo <= r.dc_hi && !row(r)) return false;
            }
        }
        return true;
    }

    // Grid cells visited per centre, the home cell included.
    double cells_per_centre() const { return cells_per_centre_; }

    // At most how many stretches of cells (each a segment of candidates
    // with its own lattice translation) one centre's search holds at once.
    // A row longer than the grid along c wraps round it, a stretch per
    // turn: on a cell far thinner than the cutoff that is millions of them,
    // whatever the cells hold.
    double segments_per_centre() const { return segments_per_centre_; }

    // Whether no row wraps around the grid from this home cell; its rows'
    // cells are then found by linear steps and need no translation.
    bool inside(const GridCoords& home) const {
        return cached_ && home.ia + max_da_ < grid_.na && home.ib >= min_db_ && home.ib + max_db_ < grid_.nb &&
               home.ic >= min_dc_ && home.ic + max_dc_ < grid_.nc;
    }
    const std::vector<StencilRow>& rows() const { return rows_; }

private:
    bool b_range(std::int64_t da, std::int64_t& lo, std::int64_t& hi) const;
    bool c_range(std::int64_t da, std::int64_t db, std::int64_t& lo, std::int64_t& hi) const;

    const CellList& grid_;
    SphereAxes axes_;
    double cutoff2_;
    bool cached_ = false;
    std::vector<StencilRow> rows_;
    double cells_per_centre_ = 1.0;
    double segments_per_centre_ = 1.0;
    std::uint64_t max_da_ = 0, min_db_ = 0, max_db_ = 0, min_dc_ = 0, max_dc_ = 0;  // how far the rows go (magnitudes)
};

namespace detail {

// A stretch of contiguous positions whose images are the candidates: the
// sites at positions [begin, end) moved by the lattice translation t.
struct Segment {
    std::size_t begin, end;
    double tx, ty, tz;
    std::int64_t sa, sb, sc;  // t in whole cells along a, b, c, to merge neighbors with the same one
};

// Four consecutive positions [first, first + 4) of one segment, as the
// distance sweep reads them: bit j of `lanes` is set when first + j belongs
// to the segment. Cutting the segments into quads once per grid cell gives
// every centre of the cell one loop of equal steps: short segments of
// varying length would end a loop each at a place the branch predictor
// cannot guess.
struct Quad {
    std::uint32_t first;
    std::uint16_t lanes;
    std::uint16_t segment;  // whose translation applies; batches hold fewer than 2^16 segments
};

// The lanes of a quad holding the first `count` (0 to 4) of its positions.
inline constexpr std::uint16_t kLeadingLanes[5] = {0u, 1u, 3u, 7u, 15u};

// Writes the quads of positions [begin, end), of segment `segment`, from
// `out` on, and returns where they end. Sparse grid cells make most
// segments a quad or two long, of lengths no predictor guesses: two quads
// are written whatever the length, and `out` moves on by what the segment
// needs (so it needs room for two at least). A longer one, where cells are
// fuller and lengths steadier, loops.
inline Quad* cut_into_quads(std::size_t begin, std::size_t end, std::uint16_t segment, Quad* out) {
    const std::size_t length = end - begin, second = length > 4 ? length - 4 : 0;
    out[0] = {static_cast<std::uint32_t>(begin), kLeadingLanes[length < 4 ? length : 4], segment};
    out[1] = {static_cast<std::uint32_t>(begin + 4), kLeadingLanes[second < 4 ? second : 4], segment};
    for (std::size_t k = begin + 8; k < end; k += 4) {
        const std::size_t left = end - k;
        out[(k - begin) / 4] = {static_cast<std::uint32_t>(k), kLeadingLanes[left < 4 ? left : 4], segment};
    }
    return out + (length + 3) / 4;
}

// Cuts the segments, which hold `candidates` positions in all, into quads,
// in order, into quads[used ...]; returns the new count. Grows `quads` when
// needed but never shrinks it: entries past the count are left as they were.
std::size_t append_quads(const Segment* segments, std::size_t n_segments, std::size_t candidates,
                         std::vector<Quad>& quads, std::size_t used);

// Tests every candidate of the quads against the centre (px, py, pz),
// moved by its segment's translation (none when `segments` is null):
// r^2 <= cutoff2 and r^2 > 1e-16; in the first quad only the lanes in
// `first_lanes` (the centre's own quad: the positions after its own).
// Leaves the accepted candidates' r^2 in `r2` and their positions in
// `accepted` (unless it is null: r^2 alone), in quad order, and returns how
// many there are. Both arrays need room for 4 entries per quad plus 4 (the
// last vector store runs past the end); the coordinate arrays must be
// readable three entries past every segment's end (group_by_cell pads them).
//
// One branch-free pass computes r^2 and compacts the accepted candidates
// (about one in four is accepted, too many for a branch predictor to
// guess). The compiler would vectorise neither the compaction nor a square
// root that may set errno, so both are written with intrinsics.
struct Coordinates {
    const double *x, *y, *z;
};
using DistanceSweep = std::size_t (*)(Coordinates c, const Segment* segments, const Quad* quads, std::size_t n_quads,
                                      unsigned first_lanes, double px, double py, double pz, double cutoff2, double* r2,
                                      std::uint32_t* accepted);
// shell[t] = shell_of(sqrt(r2[t])) for t < n.
using ShellPass = void (*)(const double* r2, std::size_t n, const UniformShells& shells, std::uint32_t* shell);

struct SweepKernels {
    DistanceSweep sweep;
    ShellPass shells;
};

// The best variant this processor runs, chosen once: the x86-64 baseline
// (SSE2) everywhere, AVX2 where the processor and the system support it.
// The default build must run on any x86-64, so AVX2 is a run-time choice.
SweepKernels sweep_kernels();

// Appends the segments of one stencil row seen from grid cell `home`:
// the row's cells resolved against the periodic grid, one segment per
// stretch between wraps along c, merged into the previous segment when
// they continue it with the same translation. Returns the candidates added.
std::size_t append_row(const GroupedSites& g, const CellList& grid, const Mat3& m, const GridCoords& home,
                       const StencilRow& row, std::vector<Segment>& segments);

}  // namespace detail

// A buffer of pairs found by for_each_pair_once: centre `centre` owns the
// pairs from the previous entry's `end` (0 for the first) to its own.
struct CentrePairs {
    std::size_t centre, end;
};

// Calls each_centre(p, q, k, n) for every entry of a buffer, in order: the
// pairs of centre p are images of positions q[0 .. n), k[t] the shell of
// the distance to q[t].
template <class EachCentre>
void for_each_centre(const CentrePairs* centres, std::size_t n_centres, const std::uint32_t* q, const std::uint32_t* k,
                     EachCentre&& each_centre) {
    std::size_t t = 0;
    for (const CentrePairs* c = centres; c != centres + n_centres; ++c) {
        each_centre(c->centre, q + t, k + t, c->end - t);
        t = c->end;
    }
}

// Whether the visits of for_each_pair_once read the partners of the pairs,
// or only their shells (when every pair adds the same to its shell): the
// sweep then leaves the partners out.
enum class Partners { kRead, kUnread };

// Calls visit(centres, n_centres, q, k) with the pairs each centre position
// p in [begin, end) owns, a buffer at a time (see CentrePairs): images of
// positions q[t], with k[t] the shell of the distance to q[t] (shells.count
// when beyond the last edge). Centres are taken in ascending order, a grid
// cell at a time: the cell's segments are resolved once, and each centre
// sweeps them in one call, while they are in cache (a batch at a time when
// a long reach makes them many); a centre appears once per batch. Read-only
// on its inputs. Gives up, leaving the rest of the range undone, once `stop`
// is requested; it is looked at before each grid cell and each batch. With
// Partners::kUnread, q is null.
template <class Visit>
void for_each_pair_once(const GroupedSites& g, const CellList& grid, const HalfStencil& stencil, const Lattice& lattice,
                        double cutoff, const UniformShells& shells, std::size_t begin, std::size_t end,
                        const std::stop_token& stop, Visit&& visit, Partners partners = Partners::kRead) {
    // Segments resolved before the centres sweep them; bounds the memory
    // (and the time between looks at `stop`) when a query spans many cells.
    constexpr std::size_t kBatchSegments = 4096;
    // Accepted pairs of many centres (of many grid cells where they hold a
    // few sites each) are gathered before their shells are worked out and
    // visited: the shell pass then runs on whole vectors, and reading the
    // pairs back right after the overlapping vector stores of the
    // compaction would stall on each. Small enough to stay in cache.
    constexpr std::size_t kPairBuffer = 1 << 11;
    const double cutoff2 = cutoff * cutoff;
    const detail::SweepKernels kernels = detail::sweep_kernels();
    const detail::Coordinates sorted{g.x.get(), g.y.get(), g.z.get()};
    std::vector<detail::Segment> segments;
    std::vector<detail::Quad> quads;
    // Scratch rather than vectors: a vector zero-fills a fresh block on
    // every call, which on a small cell costs more than the search.
    ScratchArray<double> r2;
    ScratchArray<std::uint32_t> shell, accepted;
    const bool keep_partners = partners == Partners::kRead;
    std::vector<CentrePairs> buffered;
    std::size_t filled = 0;
    const auto visit_buffered = [&] {
        kernels.shells(r2.data(), filled, shells, shell.data());
        visit(buffered.data(), buffered.size(), keep_partners ? accepted.data() : nullptr, shell.data());
        buffered.clear();
        filled = 0;
    };
    // Sweeps the quads of the segments resolved so far from every centre
    // of the cell, [first, last); in the home batch each centre skips its
    // own quad and those before it, and the own quad's lanes up to itself.
    const auto sweep_centres = [&](std::size_t first, std::size_t last, std::size_t n_quads, bool home_batch,
                                   bool translated) {
        const std::size_t room = 4 * n_quads + 4;
        if (r2.size() < std::max(room, kPairBuffer)) {
            if (filled > 0) visit_buffered();
            r2 = ScratchArray<double>(std::max(room, kPairBuffer));
            shell = ScratchArray<std::uint32_t>(r2.size());
            accepted = ScratchArray<std::uint32_t>(r2.size());
        }
        for (std::size_t p = first; p < last; ++p) {
            if (filled + room > r2.size()) visit_buffered();
            const std::size_t own_offset = home_batch ? p + 1 - first : 0;
            const std::size_t skipped = own_offset / 4;
            const unsigned lanes = (15u << (own_offset % 4)) & 15u;
            filled += kernels.sweep(sorted, translated ? segments.data() : nullptr, quads.data() + skipped,
                                    n_quads - skipped, lanes, g.x[p], g.y[p], g.z[p], cutoff2, r2.data() + filled,
                                    keep_partners ? accepted.data() + filled : nullptr);
            buffered.push_back({p, filled});
        }
    };
    if (begin >= end) return;
    const std::vector<StencilRow>& rows = stencil.rows();
    // Every row lies after the home cell in the grid's order, the last one
    // furthest: from a cell away from the edges, no row reaches past it.
    const std::int64_t furthest = rows.empty() ? 0 : rows.back().last_step;
    std::uint64_t own = g.cell_holding(begin);
    GridCoords at = coords_of_cell(grid, own);
    for (std::size_t first = begin; first < end;) {
        if (stop.stop_requested()) return;
        while (g.cell_start[own + 1] <= first) ++own, step_cell(grid, at);  // past the cells left empty
        const std::size_t cell_end = g.cell_start[own + 1];
        const std::size_t last = cell_end < end ? cell_end : end;
        // The home cell comes first, untranslated; each centre takes only
        // the positions after its own there (the earlier ones found those
        // pairs as theirs).
        if (stencil.inside(at)) {
            // Away from the edges: two lookups per row, no translation, and
            // the quads cut as the rows are read. A row that continues the
            // stretch before it (the home cell's neighbour along c) joins it.
            const auto home = static_cast<std::int64_t>(own);
            const std::size_t most = g.cell_start[static_cast<std::size_t>(home + furthest) + 1] - first;
            if (quads.size() < most / 4 + rows.size() + 3) quads.resize(2 * (most / 4 + rows.size() + 3));
            detail::Quad* out = quads.data();
            std::size_t open_begin = first, open_end = cell_end;
            for (const StencilRow& row : rows) {
                const std::size_t from = g.cell_start[static_cast<std::size_t>(home + row.first_step)];
                const std::size_t to = g.cell_start[static_cast<std::size_t>(home + row.last_step) + 1];
                if (from == to) continue;
                if (from == open_end) {
                    open_end = to;
                    continue;
                }
                out = detail::cut_into_quads(open_begin, open_end, 0, out);
                open_begin = from, open_end = to;
            }
            out = detail::cut_into_quads(open_begin, open_end, 0, out);
            sweep_centres(first, last, static_cast<std::size_t>(out - quads.data()), true, false);
        } else {
            segments.assign(1, {first, cell_end, 0.0, 0.0, 0.0, 0, 0, 0});
            std::size_t candidates = cell_end - first;
            bool home_batch = true;
            const auto sweep_batch = [&] {
                const std::size_t n_quads =
                    detail::append_quads(segments.data(), segments.size(), candidates, quads, 0);
                sweep_centres(first, last, n_quads, home_batch, true);
                segments.clear();
                candidates = 0;
                home_batch = false;
            };
            const bool finished = stencil.for_each_row([&](const StencilRow& row) {
                candidates += detail::append_row(g, grid, lattice.matrix(), at, row, segments);
                if (segments.size() < kBatchSegments) return true;
                sweep_batch();
                return !stop.stop_requested();
            });
            if (!finished) return;
            sweep_batch();
        }
        first = last;
    }
    visit_buffered();
}

}  // namespace kestrel
