#include "neighbor/pair_sweep.hpp"

#include <array>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The AVX2 variant needs GCC or Clang (target attribute, cpu builtins); a
// build can leave it out with -DKESTREL_NO_AVX2_CLONE, e.g. to test the
// baseline path on a machine that has AVX2.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(KESTREL_NO_AVX2_CLONE)
#define KESTREL_AVX2_CLONE 1
#include <immintrin.h>
#endif

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

namespace detail {

void Neighbourhood::gather(const GroupedSites& g, const CellList& grid, const Mat3& m, const GridCoords& home) {
    // Resolve the stencil first, so the copy below writes into arrays of
    // the final size instead of growing four vectors site by site.
    cells.clear();
    std::size_t total = 0;
    auto add = [&](std::uint64_t cell, std::int64_t sa, std::int64_t sb, std::int64_t sc) {
        const double fa = static_cast<double>(sa), fb = static_cast<double>(sb), fc = static_cast<double>(sc);
        const Vec3 t = {fa * m[0][0] + fb * m[1][0] + fc * m[2][0], fa * m[0][1] + fb * m[1][1] + fc * m[2][1],
                        fa * m[0][2] + fb * m[1][2] + fc * m[2][2]};
        cells.push_back({g.cell_start[cell], g.cell_start[cell + 1], t});
        total += g.cell_start[cell + 1] - g.cell_start[cell];
    };
    add(grid.linear_index(home.ia, home.ib, home.ic), 0, 0, 0);
    for (std::int64_t da = 0; da <= grid.reach_a; ++da)
        for (std::int64_t db = da == 0 ? 0 : -grid.reach_b; db <= grid.reach_b; ++db)
            for (std::int64_t dc = (da == 0 && db == 0) ? 1 : -grid.reach_c; dc <= grid.reach_c; ++dc) {
                const ResolvedOffset target = resolve_offset(grid, home, da, db, dc);
                add(target.cell, target.sa, target.sb, target.sc);
            }

    x.resize(total + 3), y.resize(total + 3), z.resize(total + 3), position.resize(total);
    double* out_x = x.data();
    double* out_y = y.data();
    double* out_z = z.data();
    std::uint32_t* out_position = position.data();
    const double* in_x = g.x.data();
    const double* in_y = g.y.data();
    const double* in_z = g.z.data();
    for (const Source& source : cells) {
        // Locals, so the compiler need not reload them after every store.
        const double tx = source.translation[0], ty = source.translation[1], tz = source.translation[2];
        for (std::size_t q = source.begin; q < source.end; ++q) {
            *out_x++ = in_x[q] + tx;
            *out_y++ = in_y[q] + ty;
            *out_z++ = in_z[q] + tz;
            *out_position++ = static_cast<std::uint32_t>(q);
        }
    }
    std::size_t k = total;
    const double pad = std::numeric_limits<double>::quiet_NaN();
    for (int e = 0; e < 3; ++e, ++k) x[k] = pad, y[k] = pad, z[k] = pad;
}

namespace {

// _mm_sqrt_sd rather than std::sqrt: no errno check on the way.
double square_root(double v) {
#if defined(__SSE2__)
    const __m128d w = _mm_set_sd(v);
    return _mm_cvtsd_f64(_mm_sqrt_sd(w, w));
#else
    return std::sqrt(v);
#endif
}

constexpr double kCoincident = 1e-16;  // r^2 at or below this is the centre itself, or a site on top of it

void square_roots(double* values, std::size_t n) {
    std::size_t t = 0;
#if defined(__SSE2__)
    for (; t + 2 <= n; t += 2) _mm_storeu_pd(values + t, _mm_sqrt_pd(_mm_loadu_pd(values + t)));
#endif
    for (; t < n; ++t) values[t] = square_root(values[t]);
}

// Two candidates per step. Each lane's r^2 and index are stored at the end
// of the compacted list and the end moves on only when the lane passed:
// no branch to mispredict.
std::size_t distance_batch_baseline(const double* xs, const double* ys, const double* zs, std::size_t count,
                                    double bx, double by, double bz, double cutoff2, double* r,
                                    std::uint32_t* accepted) {
    std::size_t n = 0;
#if defined(__SSE2__)
    const __m128d cx = _mm_set1_pd(bx), cy = _mm_set1_pd(by), cz = _mm_set1_pd(bz);
    const __m128d upper = _mm_set1_pd(cutoff2), lower = _mm_set1_pd(kCoincident);
    for (std::size_t k = 0; k < count; k += 2) {
        const __m128d dx = _mm_sub_pd(_mm_loadu_pd(xs + k), cx);
        const __m128d dy = _mm_sub_pd(_mm_loadu_pd(ys + k), cy);
        const __m128d dz = _mm_sub_pd(_mm_loadu_pd(zs + k), cz);
        const __m128d d2 = _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
        int mask = _mm_movemask_pd(_mm_and_pd(_mm_cmple_pd(d2, upper), _mm_cmpgt_pd(d2, lower)));
        if (count - k < 2) mask &= 1;  // the second lane is past the batch
        _mm_storel_pd(r + n, d2);
        accepted[n] = static_cast<std::uint32_t>(k);
        n += static_cast<std::size_t>(mask & 1);
        _mm_storeh_pd(r + n, d2);
        accepted[n] = static_cast<std::uint32_t>(k + 1);
        n += static_cast<std::size_t>(mask >> 1);
    }
#else
    for (std::size_t k = 0; k < count; ++k) {
        const double dx = xs[k] - bx, dy = ys[k] - by, dz = zs[k] - bz;
        const double d2 = dx * dx + dy * dy + dz * dz;
        r[n] = d2;
        accepted[n] = static_cast<std::uint32_t>(k);
        n += static_cast<std::size_t>((d2 <= cutoff2) & (d2 > kCoincident));
    }
#endif
    square_roots(r, n);
    return n;
}

#if KESTREL_AVX2_CLONE
// For each 4-bit acceptance mask, the lanes that passed moved to the front:
// as 32-bit halves of doubles (for r^2) and as 32-bit lanes (for indices),
// plus how many passed.
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

// Four candidates per step; the passing lanes are packed with one permute
// and stored as a whole vector (the stores are what limits the baseline).
__attribute__((target("avx2"))) std::size_t distance_batch_avx2(const double* xs, const double* ys,
                                                                const double* zs, std::size_t count, double bx,
                                                                double by, double bz, double cutoff2, double* r,
                                                                std::uint32_t* accepted) {
    const __m256d cx = _mm256_set1_pd(bx), cy = _mm256_set1_pd(by), cz = _mm256_set1_pd(bz);
    const __m256d upper = _mm256_set1_pd(cutoff2), lower = _mm256_set1_pd(kCoincident);
    const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 0, 0, 0, 0);
    std::size_t n = 0;
    for (std::size_t k = 0; k < count; k += 4) {
        const __m256d dx = _mm256_sub_pd(_mm256_loadu_pd(xs + k), cx);
        const __m256d dy = _mm256_sub_pd(_mm256_loadu_pd(ys + k), cy);
        const __m256d dz = _mm256_sub_pd(_mm256_loadu_pd(zs + k), cz);
        // Multiplies and adds kept separate (no FMA): the same rounding as
        // the baseline, so every variant accepts exactly the same pairs.
        const __m256d d2 =
            _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz));
        const __m256d pass = _mm256_and_pd(_mm256_cmp_pd(d2, upper, _CMP_LE_OQ), _mm256_cmp_pd(d2, lower, _CMP_GT_OQ));
        int mask = _mm256_movemask_pd(pass);
        if (count - k < 4) mask &= (1 << (count - k)) - 1;  // lanes past the batch
        const Compaction& c = kCompactions[static_cast<std::size_t>(mask)];
        const __m256 packed =
            _mm256_permutevar8x32_ps(_mm256_castpd_ps(d2), _mm256_load_si256(reinterpret_cast<const __m256i*>(c.doubles.data())));
        _mm256_storeu_pd(r + n, _mm256_castps_pd(packed));
        const __m256i index = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(k)), lane_index);
        const __m256i order = _mm256_permutevar8x32_epi32(index, _mm256_load_si256(reinterpret_cast<const __m256i*>(c.lanes.data())));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(accepted + n), _mm256_castsi256_si128(order));
        n += c.count;
    }
    std::size_t t = 0;
    for (; t + 4 <= n; t += 4) _mm256_storeu_pd(r + t, _mm256_sqrt_pd(_mm256_loadu_pd(r + t)));
    for (; t < n; ++t) r[t] = square_root(r[t]);
    return n;
}
#endif

}  // namespace

DistanceBatch distance_batch() {
#if KESTREL_AVX2_CLONE
    // Checks the processor and that the system saves the AVX registers.
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    if (avx2) return distance_batch_avx2;
#endif
    return distance_batch_baseline;
}

}  // namespace detail
}  // namespace kestrel
