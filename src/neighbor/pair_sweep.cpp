#include "neighbor/pair_sweep.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <type_traits>

#include "parallel/chunks.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The AVX2 variant needs GCC or Clang (target attribute, cpu builtins). A
// build can leave it out with -DKESTREL_NO_AVX2_CLONE, to test the baseline
// on a machine that has AVX2.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(KESTREL_NO_AVX2_CLONE)
#define KESTREL_AVX2_CLONE 1
#include <immintrin.h>
#endif

namespace kestrel {

std::uint64_t GroupedSites::cell_holding(std::size_t position) const {
    // The last cell starting at or before the position: empty cells start
    // where the next one does, so this skips them.
    const auto after = std::upper_bound(cell_start.begin(), cell_start.end(), position);
    return static_cast<std::uint64_t>(after - cell_start.begin()) - 1;
}

namespace {

// Sorting in parallel keeps a count per grid cell for every chunk; past
// this many cells per site the counts would outweigh the sites.
constexpr std::size_t kMaxCellsPerSite = 8;

#if KESTREL_AVX2_CLONE
bool processor_has_avx2() {
    // Asks the processor, and the system whether it saves the AVX registers.
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return avx2;
}
#endif

// The first pass of the grouping over sites [begin, end): each site's grid
// cell and Cartesian coordinates, and the count of sites per cell.
struct Locate {
    const CellList& grid;
    const Lattice& lattice;
    const WrappedCoordinates& coordinates;
    std::uint32_t* cell_of_site;
    Vec3* cartesian;

    __attribute__((always_inline)) inline void run(std::size_t begin, std::size_t end, std::uint32_t* count) const {
        const GridAxis a(grid.na), b(grid.nb), c(grid.nc);
        const std::uint64_t nb = grid.nb, nc = grid.nc;
        std::uint32_t* const cells = cell_of_site;
        Vec3* const cart = cartesian;
        for (std::size_t i = begin; i < end; ++i) {
            const Vec3 wrapped = coordinates.at(i);
            // CellList::linear_index of the site's grid coordinates.
            const std::uint64_t linear =
                grid_index(wrapped[2], c) + nc * (grid_index(wrapped[1], b) + nb * grid_index(wrapped[0], a));
            const auto cell = static_cast<std::uint32_t>(linear);
            cells[i] = cell;
            cart[i] = lattice.to_cartesian(wrapped);
            ++count[cell];
        }
    }
};

void locate_baseline(const Locate& pass, std::size_t begin, std::size_t end, std::uint32_t* count) {
    pass.run(begin, end, count);
}

#if KESTREL_AVX2_CLONE
// The same pass where the processor rounds down in one instruction (the
// x86-64 baseline has none and takes about ten per coordinate).
__attribute__((target("avx2"))) void locate_avx2(const Locate& pass, std::size_t begin, std::size_t end,
                                                 std::uint32_t* count) {
    pass.run(begin, end, count);
}
#endif

void locate(const Locate& pass, std::size_t begin, std::size_t end, std::uint32_t* count) {
#if KESTREL_AVX2_CLONE
    if (processor_has_avx2()) return locate_avx2(pass, begin, end, count);
#endif
    locate_baseline(pass, begin, end, count);
}

}  // namespace

Result<GroupedSites> group_by_cell(const CellList& grid, const Lattice& lattice, const WrappedCoordinates& coordinates,
                                   ThreadPool* pool) {
    const std::size_t n = coordinates.size();
    if (Result<Ok> fits = check_search_size(n); !fits) return fits.take_error();
    const std::size_t cells = grid.cell_count();
    const std::size_t chunks = cells <= kMaxCellsPerSite * n ? chunk_count(pool, n) : 1;

    // A counting sort in two parallel passes over chunks of sites: each
    // chunk counts its sites per cell (and works out their Cartesian
    // coordinates), then places them. The arrays are left uninitialised
    // until a pass fills them, so their pages are first touched by the
    // workers too.
    ScratchArray<std::uint32_t> cell_of_site(n);
    ScratchArray<Vec3> cartesian(n);                     // in site order: read sequentially from the sites
    ScratchArray<std::uint32_t> cursor(chunks * cells);  // chunk c's counts, then its next free position, per cell
    const Locate pass{grid, lattice, coordinates, cell_of_site.data(), cartesian.data()};
    for_each_chunk(pool, chunks, [&](std::size_t c) {
        std::uint32_t* count = cursor.data() + c * cells;
        std::fill(count, count + cells, 0u);
        locate(pass, chunk_begin(n, chunks, c), chunk_begin(n, chunks, c + 1), count);
    });

    // Within a cell the sites go in descending order: the later chunks'
    // first, each chunk's from its last site. The running sum over the
    // cells is worked out in ranges of cells, one per chunk: each range's
    // total first (in parallel), then each range from the sum of those
    // before it.
    GroupedSites out;
    out.count = n;
    out.cell_start = ScratchArray<std::uint32_t>(cells + 1);
    std::vector<std::uint32_t> range_start(chunks + 1, 0);
    if (chunks > 1) {
        for_each_chunk(pool, chunks, [&](std::size_t r) {
            std::uint32_t total = 0;
            for (std::size_t cell = chunk_begin(cells, chunks, r); cell < chunk_begin(cells, chunks, r + 1); ++cell)
                for (std::size_t c = 0; c < chunks; ++c) total += cursor[c * cells + cell];
            range_start[r + 1] = total;
        });
        for (std::size_t r = 0; r < chunks; ++r) range_start[r + 1] += range_start[r];
    }
    for_each_chunk(pool, chunks, [&](std::size_t r) {
        std::uint32_t next = range_start[r];
        for (std::size_t cell = chunk_begin(cells, chunks, r); cell < chunk_begin(cells, chunks, r + 1); ++cell) {
            out.cell_start[cell] = next;
            for (std::size_t c = chunks; c-- > 0;) {
                std::uint32_t& slot = cursor[c * cells + cell];
                const std::uint32_t count = slot;
                slot = next;
                next += count;
            }
        }
    });
    out.cell_start[cells] = static_cast<std::uint32_t>(n);

    out.site = ScratchArray<std::uint32_t>(n);
    for_each_chunk(pool, chunks, [&](std::size_t c) {
        std::uint32_t* place = cursor.data() + c * cells;
        for (std::size_t i = chunk_begin(n, chunks, c + 1); i-- > chunk_begin(n, chunks, c);)
            out.site[place[cell_of_site[i]]++] = static_cast<std::uint32_t>(i);
    });
    // The coordinates follow by position: scattering them with the site
    // indices would write four scattered lines per site instead of one.
    out.x = ScratchArray<double>(n + 3);
    out.y = ScratchArray<double>(n + 3);
    out.z = ScratchArray<double>(n + 3);
    const std::size_t copy_chunks = chunk_count(pool, n);
    for_each_chunk(pool, copy_chunks, [&](std::size_t c) {
        for (std::size_t p = chunk_begin(n, copy_chunks, c), end = chunk_begin(n, copy_chunks, c + 1); p < end; ++p) {
            const Vec3& cart = cartesian[out.site[p]];
            out.x[p] = cart[0];
            out.y[p] = cart[1];
            out.z[p] = cart[2];
        }
    });
    const double pad = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t k = n; k < n + 3; ++k) out.x[k] = pad, out.y[k] = pad, out.z[k] = pad;
    return out;
}

SphereAxes SphereAxes::of(const Mat3& m) {
    const auto dot = [&](int i, int j) { return m[i][0] * m[j][0] + m[i][1] * m[j][1] + m[i][2] * m[j][2]; };
    SphereAxes s{};
    // Eliminate c first, then b: what remains of the metric on (fa, fb) is
    // the projection of a and b onto the plane normal to c, and so on.
    s.gcc = dot(2, 2);
    s.mca = dot(0, 2) / s.gcc;
    s.mcb = dot(1, 2) / s.gcc;
    const double gab = dot(0, 1) - dot(0, 2) * dot(1, 2) / s.gcc;
    s.gbb = dot(1, 1) - dot(1, 2) * dot(1, 2) / s.gcc;
    s.mba = gab / s.gbb;
    s.gaa = dot(0, 0) - dot(0, 2) * dot(0, 2) / s.gcc - gab * s.mba;
    return s;
}

namespace {

// Fractional differences between a point of a grid cell and a point of the
// cell `offset` cells away lie in ((offset - 1) / n, (offset + 1) / n);
// widened a little, so that rounding in the grid coordinates and the
// distances never drops a cell that holds a pair.
struct Interval {
    double lo, hi;
};

constexpr double kSlack = 1e-9;

Interval cell_offset_interval(std::int64_t offset, std::uint64_t n) {
    const double width = 1.0 / static_cast<double>(n);
    return {(static_cast<double>(offset) - 1.0 - kSlack) * width, (static_cast<double>(offset) + 1.0 + kSlack) * width};
}

// The smallest x^2 over the interval.
double min_square(Interval x) {
    if (x.lo <= 0.0 && x.hi >= 0.0) return 0.0;
    return std::min(x.lo * x.lo, x.hi * x.hi);
}

// k * x over the interval, as an interval.
Interval scaled(double k, Interval x) {
    return {std::min(k * x.lo, k * x.hi), std::max(k * x.lo, k * x.hi)};
}

// The grid-cell offsets whose intervals meet [lo, hi], within +-reach.
// False when none does (or the bounds are not numbers).
bool offsets_meeting(double lo, double hi, std::uint64_t n, std::int64_t reach, std::int64_t& first,
                     std::int64_t& last) {
    const double cells = static_cast<double>(n), limit = static_cast<double>(reach);
    const double from = std::max(std::floor(lo * cells), -limit), to = std::min(std::ceil(hi * cells), limit);
    if (!(from <= to)) return false;
    first = static_cast<std::int64_t>(from);
    last = static_cast<std::int64_t>(to);
    return true;
}

// Keeping the rows costs 32 bytes each; beyond this many they are derived
// again per query (only cells far thinner than the cutoff get there).
constexpr double kMaxCachedRows = 1 << 20;

}  // namespace

HalfStencil::HalfStencil(const CellList& grid, const Lattice& lattice, double cutoff)
    : grid_(grid), axes_(SphereAxes::of(lattice.matrix())), cutoff2_(cutoff * cutoff * (1.0 + kSlack)) {
    const double bound_rows =
        (static_cast<double>(grid.reach_a) + 1.0) * (2.0 * static_cast<double>(grid.reach_b) + 1.0);
    if (bound_rows <= kMaxCachedRows) {
        // Collected by the same walk the uncached queries take.
        const auto nb = static_cast<std::int64_t>(grid.nb), nc = static_cast<std::int64_t>(grid.nc);
        const auto magnitude = [](std::int64_t x) { return static_cast<std::uint64_t>(x < 0 ? -x : x); };
        for_each_row([&](StencilRow row) {
            row.first_step = row.dc_lo + nc * (row.db + nb * row.da);
            row.last_step = row.dc_hi + nc * (row.db + nb * row.da);
            rows_.push_back(row);
            cells_per_centre_ += static_cast<double>(row.dc_hi - row.dc_lo + 1);
            // A turn round the grid per nc cells, and a partial turn at each end.
            segments_per_centre_ +=
                std::floor(static_cast<double>(row.dc_hi - row.dc_lo) / static_cast<double>(nc)) + 2.0;
            max_da_ = std::max(max_da_, magnitude(row.da));
            if (row.db < 0) min_db_ = std::max(min_db_, magnitude(row.db));
            else max_db_ = std::max(max_db_, magnitude(row.db));
            if (row.dc_lo < 0) min_dc_ = std::max(min_dc_, magnitude(row.dc_lo));
            if (row.dc_hi > 0) max_dc_ = std::max(max_dc_, magnitude(row.dc_hi));
            return true;
        });
        cached_ = true;
    } else {
        // Half the sphere, in cells, grown by two cells along each axis: the
        // trimmed rows cover about that much.
        const double ra = static_cast<double>(grid.reach_a) + 2.0, rb = static_cast<double>(grid.reach_b) + 2.0,
                     rc = static_cast<double>(grid.reach_c) + 2.0;
        cells_per_centre_ = 0.5 * 4.1887902047863905 * ra * rb * rc;
        segments_per_centre_ =
            bound_rows *
            (std::floor((2.0 * static_cast<double>(grid.reach_c) + 1.0) / static_cast<double>(grid.nc)) + 2.0);
    }
}

bool HalfStencil::b_range(std::int64_t da, std::int64_t& lo, std::int64_t& hi) const {
    const Interval fa = cell_offset_interval(da, grid_.na);
    const double rest = cutoff2_ - axes_.gaa * min_square(fa);
    if (!(rest >= 0.0)) return false;
    const double half = std::sqrt(rest / axes_.gbb);
    const Interval centre = scaled(-axes_.mba, fa);
    return offsets_meeting(centre.lo - half, centre.hi + half, grid_.nb, grid_.reach_b, lo, hi);
}

bool HalfStencil::c_range(std::int64_t da, std::int64_t db, std::int64_t& lo, std::int64_t& hi) const {
    const Interval fa = cell_offset_interval(da, grid_.na), fb = cell_offset_interval(db, grid_.nb);
    const Interval tilt = scaled(axes_.mba, fa);
    const double used = axes_.gaa * min_square(fa) + axes_.gbb * min_square({fb.lo + tilt.lo, fb.hi + tilt.hi});
    const double rest = cutoff2_ - used;
    if (!(rest >= 0.0)) return false;
    const double half = std::sqrt(rest / axes_.gcc);
    const Interval from_a = scaled(-axes_.mca, fa), from_b = scaled(-axes_.mcb, fb);
    return offsets_meeting(from_a.lo + from_b.lo - half, from_a.hi + from_b.hi + half, grid_.nc, grid_.reach_c, lo, hi);
}

namespace detail {

std::size_t append_row(const GroupedSites& g, const CellList& grid, const Mat3& m, const GridCoords& home,
                       const StencilRow& row, std::vector<Segment>& segments) {
    std::uint64_t a, b;
    std::int64_t sa, sb;
    wrap_axis(static_cast<std::int64_t>(home.ia) + row.da, grid.na, a, sa);
    wrap_axis(static_cast<std::int64_t>(home.ib) + row.db, grid.nb, b, sb);
    const std::uint64_t row_base = grid.nc * (b + grid.nb * a);
    const auto nc = static_cast<std::int64_t>(grid.nc);
    std::size_t candidates = 0;
    std::int64_t c = static_cast<std::int64_t>(home.ic) + row.dc_lo;
    const std::int64_t c_end = static_cast<std::int64_t>(home.ic) + row.dc_hi;
    while (c <= c_end) {
        std::uint64_t wrapped;
        std::int64_t sc;
        wrap_axis(c, grid.nc, wrapped, sc);
        // The cells up to the next wrap are contiguous in the grouped order.
        const std::int64_t stretch = std::min(c_end - c + 1, nc - static_cast<std::int64_t>(wrapped));
        const std::size_t begin = g.cell_start[row_base + wrapped];
        const std::size_t end = g.cell_start[row_base + wrapped + static_cast<std::uint64_t>(stretch)];
        c += stretch;
        if (begin == end) continue;
        candidates += end - begin;
        if (!segments.empty()) {
            Segment& previous = segments.back();
            if (previous.end == begin && previous.sa == sa && previous.sb == sb && previous.sc == sc) {
                previous.end = end;
                continue;
            }
        }
        const double fa = static_cast<double>(sa), fb = static_cast<double>(sb), fc = static_cast<double>(sc);
        segments.push_back({begin, end, fa * m[0][0] + fb * m[1][0] + fc * m[2][0],
                            fa * m[0][1] + fb * m[1][1] + fc * m[2][1], fa * m[0][2] + fb * m[1][2] + fc * m[2][2], sa,
                            sb, sc});
    }
    return candidates;
}

std::size_t append_quads(const Segment* segments, std::size_t n_segments, std::size_t candidates,
                         std::vector<Quad>& quads, std::size_t used) {
    // A segment of L candidates takes ceil(L / 4) quads, at most L / 4 + 1;
    // two more for cut_into_quads' unconditional writes.
    const std::size_t most = used + candidates / 4 + n_segments + 2;
    // Filled through a pointer: growing the vector quad by quad cost more
    // than the sweep of a sparse cell.
    if (quads.size() < most) quads.resize(std::max(most, 2 * quads.size()));
    Quad* out = quads.data() + used;
    for (std::size_t i = 0; i < n_segments; ++i)
        out = cut_into_quads(segments[i].begin, segments[i].end, static_cast<std::uint16_t>(i), out);
    return static_cast<std::size_t>(out - quads.data());
}

namespace {

constexpr double kCoincident = 1e-16;  // r^2 at or below this is the centre itself, or a site on top of it

// _mm_sqrt_sd rather than std::sqrt: no errno check on the way.
double square_root(double v) {
#if defined(__SSE2__)
    const __m128d w = _mm_set_sd(v);
    return _mm_cvtsd_f64(_mm_sqrt_sd(w, w));
#else
    return std::sqrt(v);
#endif
}

// A quad as two steps of two candidates. Each lane's r^2 and position are
// stored at the end of the compacted list, which moves on only when the
// lane passed: no branch to mispredict.
template <bool kTranslated, bool kPositions>
std::size_t sweep_quads_baseline(Coordinates g, const Segment* segments, const Quad* quads, std::size_t n_quads,
                                 unsigned first_lanes, double px, double py, double pz, double cutoff2, double* r,
                                 std::uint32_t* accepted) {
    std::size_t n = 0;
    unsigned keep = first_lanes;
#if defined(__SSE2__)
    const __m128d upper = _mm_set1_pd(cutoff2), lower = _mm_set1_pd(kCoincident);
#endif
    for (const Quad* q = quads; q != quads + n_quads; ++q) {
        double bx = px, by = py, bz = pz;
        if constexpr (kTranslated) {
            const Segment& s = segments[q->segment];
            bx = px - s.tx, by = py - s.ty, bz = pz - s.tz;
        }
        const unsigned lanes = q->lanes & keep;
        keep = 15u;
#if defined(__SSE2__)
        const __m128d cx = _mm_set1_pd(bx), cy = _mm_set1_pd(by), cz = _mm_set1_pd(bz);
        for (unsigned half = 0; half < 2; ++half) {
            const std::size_t k = q->first + 2 * half;
            const __m128d dx = _mm_sub_pd(_mm_loadu_pd(g.x + k), cx);
            const __m128d dy = _mm_sub_pd(_mm_loadu_pd(g.y + k), cy);
            const __m128d dz = _mm_sub_pd(_mm_loadu_pd(g.z + k), cz);
            const __m128d d2 = _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
            const __m128d pass = _mm_and_pd(_mm_cmple_pd(d2, upper), _mm_cmpgt_pd(d2, lower));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_pd(pass)) & (lanes >> (2 * half));
            _mm_storel_pd(r + n, d2);
            if constexpr (kPositions) accepted[n] = static_cast<std::uint32_t>(k);
            n += mask & 1u;
            _mm_storeh_pd(r + n, d2);
            if constexpr (kPositions) accepted[n] = static_cast<std::uint32_t>(k + 1);
            n += (mask >> 1) & 1u;
        }
#else
        for (unsigned lane = 0; lane < 4; ++lane) {
            const std::size_t k = q->first + lane;
            const double dx = g.x[k] - bx, dy = g.y[k] - by, dz = g.z[k] - bz;
            const double d2 = dx * dx + dy * dy + dz * dz;
            r[n] = d2;
            if constexpr (kPositions) accepted[n] = static_cast<std::uint32_t>(k);
            n += static_cast<std::size_t>((d2 <= cutoff2) & (d2 > kCoincident) & ((lanes >> lane) & 1u));
        }
#endif
    }
    return n;
}

std::size_t distance_sweep_baseline(Coordinates g, const Segment* segments, const Quad* quads, std::size_t n_quads,
                                    unsigned first_lanes, double px, double py, double pz, double cutoff2, double* r,
                                    std::uint32_t* accepted) {
    const auto run = [&](auto translated, auto positions) {
        return sweep_quads_baseline<decltype(translated)::value, decltype(positions)::value>(
            g, segments, quads, n_quads, first_lanes, px, py, pz, cutoff2, r, accepted);
    };
    if (segments == nullptr)
        return accepted == nullptr ? run(std::false_type{}, std::false_type{})
                                   : run(std::false_type{}, std::true_type{});
    return accepted == nullptr ? run(std::true_type{}, std::false_type{}) : run(std::true_type{}, std::true_type{});
}

void shell_pass_baseline(const double* r2, std::size_t n, const UniformShells& shells, std::uint32_t* shell) {
    for (std::size_t t = 0; t < n; ++t) shell[t] = shell_of(square_root(r2[t]), shells);
}

#if KESTREL_AVX2_CLONE
// For each 4-bit acceptance mask, the lanes that passed moved to the front:
// as 32-bit halves of doubles (for r^2) and as 32-bit lanes (for
// positions), plus how many passed.
struct Compaction {
    alignas(32) std::array<std::int32_t, 8> doubles;
    alignas(32) std::array<std::int32_t, 8> lanes;
    std::size_t count;
};

constexpr std::array<Compaction, 16> make_compactions() {
    std::array<Compaction, 16> table{};
    for (int mask = 0; mask < 16; ++mask) {
        Compaction& c = table[static_cast<std::size_t>(mask)];
        c.doubles = {}, c.lanes = {}, c.count = 0;
        for (int lane = 0; lane < 4; ++lane)
            if (mask & (1 << lane)) {
                c.doubles[2 * c.count] = 2 * lane;
                c.doubles[2 * c.count + 1] = 2 * lane + 1;
                c.lanes[c.count] = lane;
                ++c.count;
            }
    }
    return table;
}

constexpr std::array<Compaction, 16> kCompactions = make_compactions();

// A quad per step; the passing lanes are packed with one permute and
// stored as a whole vector (single-lane stores are what limits the
// baseline).
template <bool kTranslated, bool kPositions>
__attribute__((target("avx2"))) inline std::size_t sweep_quads_avx2(Coordinates g, const Segment* segments,
                                                                    const Quad* quads, std::size_t n_quads,
                                                                    unsigned first_lanes, double px, double py,
                                                                    double pz, double cutoff2, double* r,
                                                                    std::uint32_t* accepted) {
    const __m256d upper = _mm256_set1_pd(cutoff2), lower = _mm256_set1_pd(kCoincident);
    const __m256d centre_x = _mm256_set1_pd(px), centre_y = _mm256_set1_pd(py), centre_z = _mm256_set1_pd(pz);
    const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 0, 0, 0, 0);
    const double* xs = g.x;
    const double* ys = g.y;
    const double* zs = g.z;
    std::size_t n = 0;
    unsigned keep = first_lanes;
    for (const Quad* q = quads; q != quads + n_quads; ++q) {
        __m256d cx = centre_x, cy = centre_y, cz = centre_z;
        if constexpr (kTranslated) {
            // The centre less the translation, as the baseline works it out.
            const Segment& s = segments[q->segment];
            cx = _mm256_sub_pd(centre_x, _mm256_broadcast_sd(&s.tx));
            cy = _mm256_sub_pd(centre_y, _mm256_broadcast_sd(&s.ty));
            cz = _mm256_sub_pd(centre_z, _mm256_broadcast_sd(&s.tz));
        }
        const std::size_t k = q->first;
        const __m256d dx = _mm256_sub_pd(_mm256_loadu_pd(xs + k), cx);
        const __m256d dy = _mm256_sub_pd(_mm256_loadu_pd(ys + k), cy);
        const __m256d dz = _mm256_sub_pd(_mm256_loadu_pd(zs + k), cz);
        // Multiplies and adds kept apart (no FMA): the same rounding as
        // the baseline, so both variants accept exactly the same pairs.
        const __m256d d2 =
            _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz));
        const __m256d pass = _mm256_and_pd(_mm256_cmp_pd(d2, upper, _CMP_LE_OQ), _mm256_cmp_pd(d2, lower, _CMP_GT_OQ));
        const unsigned mask = static_cast<unsigned>(_mm256_movemask_pd(pass)) & q->lanes & keep;
        keep = 15u;
        const Compaction& c = kCompactions[mask];
        const __m256i to_front = _mm256_load_si256(reinterpret_cast<const __m256i*>(c.doubles.data()));
        _mm256_storeu_pd(r + n, _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(d2), to_front)));
        if constexpr (kPositions) {
            const __m256i index = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(k)), lane_index);
            const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(c.lanes.data()));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(accepted + n),
                             _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(index, lanes)));
        }
        n += c.count;
    }
    return n;
}

__attribute__((target("avx2"))) std::size_t distance_sweep_avx2(Coordinates g, const Segment* segments,
                                                                const Quad* quads, std::size_t n_quads,
                                                                unsigned first_lanes, double px, double py, double pz,
                                                                double cutoff2, double* r, std::uint32_t* accepted) {
    if (segments == nullptr) {
        if (accepted == nullptr)
            return sweep_quads_avx2<false, false>(g, segments, quads, n_quads, first_lanes, px, py, pz, cutoff2, r,
                                                  accepted);
        return sweep_quads_avx2<false, true>(g, segments, quads, n_quads, first_lanes, px, py, pz, cutoff2, r,
                                             accepted);
    }
    if (accepted == nullptr)
        return sweep_quads_avx2<true, false>(g, segments, quads, n_quads, first_lanes, px, py, pz, cutoff2, r,
                                             accepted);
    return sweep_quads_avx2<true, true>(g, segments, quads, n_quads, first_lanes, px, py, pz, cutoff2, r, accepted);
}

// shell_of four at a time: the same stretched distance, guess, one step
// down or up, and the last shell's tolerance, as doubles (exact for these
// small integers).
__attribute__((target("avx2"))) void shell_pass_avx2(const double* r, std::size_t n, const UniformShells& shells,
                                                     std::uint32_t* shell) {
    const __m256d width = _mm256_set1_pd(shells.width), inverse = _mm256_set1_pd(shells.inverse);
    const __m256d count = _mm256_set1_pd(static_cast<double>(shells.count)), one = _mm256_set1_pd(1.0);
    const __m256d zero = _mm256_setzero_pd(), last_reach = _mm256_set1_pd(shells.last_reach);
    const __m256d stretch = _mm256_set1_pd(kEdgeStretch);
    std::size_t t = 0;
    for (; t + 4 <= n; t += 4) {
        const __m256d distance = _mm256_mul_pd(_mm256_sqrt_pd(_mm256_loadu_pd(r + t)), stretch);
        const __m256d guess = _mm256_mul_pd(distance, inverse);
        __m256d k = _mm256_min_pd(_mm256_round_pd(guess, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC), count);
        const __m256d down = _mm256_and_pd(_mm256_cmp_pd(k, zero, _CMP_GT_OQ),
                                           _mm256_cmp_pd(_mm256_mul_pd(k, width), distance, _CMP_GT_OQ));
        const __m256d up = _mm256_andnot_pd(
            down, _mm256_and_pd(_mm256_cmp_pd(k, count, _CMP_LT_OQ),
                                _mm256_cmp_pd(_mm256_mul_pd(_mm256_add_pd(k, one), width), distance, _CMP_LE_OQ)));
        k = _mm256_add_pd(_mm256_sub_pd(k, _mm256_and_pd(down, one)), _mm256_and_pd(up, one));
        const __m256d on_last =
            _mm256_and_pd(_mm256_cmp_pd(k, count, _CMP_EQ_OQ), _mm256_cmp_pd(distance, last_reach, _CMP_LE_OQ));
        k = _mm256_sub_pd(k, _mm256_and_pd(on_last, one));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(shell + t), _mm256_cvttpd_epi32(k));
    }
    for (; t < n; ++t) shell[t] = shell_of(square_root(r[t]), shells);
}
#endif

}  // namespace

SweepKernels sweep_kernels() {
#if KESTREL_AVX2_CLONE
    if (processor_has_avx2()) return {distance_sweep_avx2, shell_pass_avx2};
#endif
    return {distance_sweep_baseline, shell_pass_baseline};
}

}  // namespace detail
}  // namespace kestrel
