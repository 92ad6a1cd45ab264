#include "scattering/site_pairs.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "neighbor/cell_list.hpp"
#include "parallel/chunks.hpp"
#include "neighbor/neighbor_query.hpp"
#include "parallel/with_threads.hpp"

namespace kestrel {
namespace {

// A direction no lattice vector of small integers lies across from, to rank
// the images of a vector by one number.
constexpr Vec3 kRanking{{0.7548776662466927, 0.5698402909980532, 0.3141592653589793}};
// Images whose rank agrees to this many decimals are taken as one, the
// first operation's standing for it; keys are the image in these units.
constexpr double kRankDigits = 1e9;
constexpr double kKeyUnits = 1e7;
// A site's image is on another site when every coordinate agrees to this
// (modulo whole cells).
constexpr double kSameSite = 1e-4;

Vec3 rotate(const Mat3& rotation, const Vec3& v) {
    return {{dot(rotation[0], v), dot(rotation[1], v), dot(rotation[2], v)}};
}

bool same_position(const Vec3& a, const Vec3& b) {
    for (int axis = 0; axis < 3; ++axis) {
        const double offset = a[axis] - b[axis];
        if (std::fabs(offset - std::nearbyint(offset)) >= kSameSite) return false;
    }
    return true;
}

// The rotations of the operations that leave the site at `wrapped` where it is.
std::vector<Mat3> stabilizer(const PairSymmetry& symmetry, const Vec3& wrapped) {
    std::vector<Mat3> out;
    for (std::size_t k = 0; k < symmetry.rotations.size(); ++k)
        if (same_position(rotate(symmetry.rotations[k], wrapped) + symmetry.translations[k], wrapped))
            out.push_back(symmetry.rotations[k]);
    return out;
}

struct Pair {
    std::int64_t j;
    IntVec3 shift;
};

// Every pair from `centre`, in the neighbour query's order, with the
// translation between the positions as given (the query works on wrapped
// ones).
std::vector<Pair> pairs_from(const NeighborGrid& grid, const Lattice& lattice, std::span<const Vec3> frac, double reach,
                             std::size_t centre) {
    std::vector<Pair> out;
    const Vec3 unwrap_i = frac[centre] - grid.wrapped[centre];
    for_each_neighbor_image(grid.cells, grid.wrapped, lattice, reach, centre,
                            [&](std::size_t j, const IntVec3& shift, double) {
                                // wrapped_j + s − wrapped_i = f_j + n − f_i
                                const Vec3 moved = unwrap_i - (frac[j] - grid.wrapped[j]);
                                IntVec3 n{};
                                for (int axis = 0; axis < 3; ++axis)
                                    n[axis] = shift[axis] + static_cast<int>(std::nearbyint(moved[axis]));
                                out.push_back({static_cast<std::int64_t>(j), n});
                            });
    return out;
}

using Key = std::array<double, 3>;

// The image of `delta` lowest along kRanking among its images under `rotations`, in key units.
Key canonical_key(const std::vector<Mat3>& rotations, const Vec3& delta) {
    Vec3 best{};
    double lowest = INFINITY;
    for (const Mat3& rotation : rotations) {
        const Vec3 image = rotate(rotation, delta);
        const double rank = std::nearbyint(dot(image, kRanking) * kRankDigits);
        if (rank < lowest) {
            lowest = rank;
            best = image;
        }
    }
    return {std::nearbyint(best[0] * kKeyUnits), std::nearbyint(best[1] * kKeyUnits),
            std::nearbyint(best[2] * kKeyUnits)};
}

// The groups of the pairs from one orbit's representative, appended to `out`.
void add_groups(std::size_t centre, const std::vector<Pair>& pairs, std::span<const Vec3> frac,
                const std::vector<Mat3>& rotations, double orbit_size, SitePairTable& out) {
    std::vector<Key> keys(pairs.size());
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const Pair& p = pairs[k];
        const Vec3 shift{
            {static_cast<double>(p.shift[0]), static_cast<double>(p.shift[1]), static_cast<double>(p.shift[2])}};
        keys[k] = canonical_key(rotations, frac[static_cast<std::size_t>(p.j)] + shift - frac[centre]);
    }
    std::vector<std::size_t> order(pairs.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Stable: the first pair found stands for its group.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    for (std::size_t start = 0; start < order.size();) {
        std::size_t stop = start + 1;
        while (stop < order.size() && keys[order[stop]] == keys[order[start]]) ++stop;
        const Pair& first = pairs[order[start]];
        out.site_i.push_back(static_cast<std::int64_t>(centre));
        out.site_j.push_back(first.j);
        out.shift.push_back(first.shift);
        out.count.push_back(static_cast<double>(stop - start) * orbit_size);
        start = stop;
    }
}

void add_all(std::size_t centre, const std::vector<Pair>& pairs, SitePairTable& out) {
    for (const Pair& p : pairs) {
        out.site_i.push_back(static_cast<std::int64_t>(centre));
        out.site_j.push_back(p.j);
        out.shift.push_back(p.shift);
        out.count.push_back(1.0);
    }
}

Result<Ok> check_arguments(std::span<const Vec3> frac, double reach, const PairSymmetry* symmetry) {
    if (!(reach > 0.0 && std::isfinite(reach))) return fail_argument("the reach must be a positive number");
    for (const Vec3& f : frac)
        for (const double x : f)
            if (!std::isfinite(x)) return fail_argument("every fractional coordinate must be a finite number");
    if (symmetry == nullptr) return Ok{};
    if (symmetry->rotations.size() != symmetry->translations.size() || symmetry->rotations.empty())
        return fail_argument("rotations and translations must list the same operations, at least one");
    if (symmetry->orbit.size() != frac.size()) return fail_argument("orbit must give one representative per site");
    for (const std::int64_t rep : symmetry->orbit)
        if (rep < 0 || static_cast<std::size_t>(rep) >= frac.size() ||
            symmetry->orbit[static_cast<std::size_t>(rep)] != rep)
            return fail_argument("every site's representative must be a site that represents itself");
    return Ok{};
}

void append(SitePairTable& to, SitePairTable&& from) {
    to.site_i.insert(to.site_i.end(), from.site_i.begin(), from.site_i.end());
    to.site_j.insert(to.site_j.end(), from.site_j.begin(), from.site_j.end());
    to.shift.insert(to.shift.end(), from.shift.begin(), from.shift.end());
    to.count.insert(to.count.end(), from.count.begin(), from.count.end());
}

}  // namespace

Result<SitePairTable> find_site_pairs(const Lattice& lattice, std::span<const Vec3> frac, double reach,
                                      const PairSymmetry* symmetry, ThreadPool* pool) {
    if (Result<Ok> valid = check_arguments(frac, reach, symmetry); !valid) return valid.take_error();
    if (frac.empty()) return SitePairTable{};
    std::vector<Vec3> wrapped;
    wrapped.reserve(frac.size());
    for (const Vec3& f : frac) wrapped.push_back(wrap_fractional(f));
    Result<NeighborGrid> grid = build_cell_list(lattice, std::move(wrapped), reach, 1);
    if (!grid) return grid.take_error();

    std::vector<std::size_t> centres;
    std::vector<double> orbit_size(frac.size(), 0.0);
    for (std::size_t s = 0; s < frac.size(); ++s) {
        if (symmetry == nullptr || symmetry->orbit[s] == static_cast<std::int64_t>(s)) centres.push_back(s);
        if (symmetry != nullptr) orbit_size[static_cast<std::size_t>(symmetry->orbit[s])] += 1.0;
    }
    // A centre is a lot of work (thousands of neighbours), so each worker takes a few.
    const std::size_t chunks = pool == nullptr ? 1 : std::clamp<std::size_t>(centres.size(), 1, pool->size());
    std::vector<SitePairTable> parts(chunks);
    for_each_chunk(pool, chunks, [&](std::size_t c) {
        for (std::size_t k = chunk_begin(centres.size(), chunks, c); k < chunk_begin(centres.size(), chunks, c + 1);
             ++k) {
            const std::size_t centre = centres[k];
            const std::vector<Pair> pairs = pairs_from(*grid, lattice, frac, reach, centre);
            if (symmetry == nullptr) {
                add_all(centre, pairs, parts[c]);
                continue;
            }
            const std::vector<Mat3> rotations = stabilizer(*symmetry, grid->wrapped[centre]);
            add_groups(centre, pairs, frac, rotations, orbit_size[centre], parts[c]);
        }
    });
    SitePairTable out = std::move(parts[0]);
    for (std::size_t c = 1; c < chunks; ++c) append(out, std::move(parts[c]));
    return out;
}

Result<SitePairTable> find_site_pairs_with_threads(const Lattice& lattice, std::span<const Vec3> frac, double reach,
                                                   const PairSymmetry* symmetry, std::uint64_t n_threads) {
    return run_with_threads<SitePairTable>(
        n_threads, [&](ThreadPool* pool) { return find_site_pairs(lattice, frac, reach, symmetry, pool); });
}

}  // namespace kestrel
