#include "scattering/repeating_cell.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <unordered_map>
#include <utility>

namespace kestrel {
namespace {

constexpr std::size_t kNowhere = std::numeric_limits<std::size_t>::max();

double wrap(double x) {
    const double w = x - std::floor(x);
    return w >= 1.0 ? 0.0 : w;
}

Vec3 wrapped(const Vec3& v) {
    return {wrap(v[0]), wrap(v[1]), wrap(v[2])};
}

// Points of the unit cube, each with a kind, found again by position: a
// grid of buckets coarser than the tolerance, so a point within it of
// another lies in the same bucket or a neighbouring one.
class PlaceIndex {
public:
    void add(const Vec3& point, std::uint32_t kind) {
        const Vec3 at = wrapped(point);
        const auto [a, b, c] = bucket_of(at);
        buckets_[key(a, b, c)].push_back(static_cast<std::uint32_t>(points_.size()));
        points_.push_back(at);
        kinds_.push_back(kind);
    }

    // The index of the point of this kind at `point` (any image), or kNowhere.
    std::size_t find(const Vec3& point, std::uint32_t kind) const {
        const Vec3 at = wrapped(point);
        const auto [a, b, c] = bucket_of(at);
        if (const std::size_t own = find_in(key(a, b, c), at, kind); own != kNowhere) return own;
        for (std::int64_t da = -1; da <= 1; ++da)
            for (std::int64_t db = -1; db <= 1; ++db)
                for (std::int64_t dc = -1; dc <= 1; ++dc) {
                    if (da == 0 && db == 0 && dc == 0) continue;
                    if (const std::size_t found = find_in(key(a + da, b + db, c + dc), at, kind); found != kNowhere)
                        return found;
                }
        return kNowhere;
    }

    const std::vector<Vec3>& points() const { return points_; }

private:
    // 2^20 buckets per axis: 1e-6 wide, a thousand tolerances.
    static constexpr std::int64_t kBuckets = std::int64_t{1} << 20;

    static std::array<std::int64_t, 3> bucket_of(const Vec3& at) {
        const auto one = [](double x) {
            return std::min(static_cast<std::int64_t>(x * static_cast<double>(kBuckets)), kBuckets - 1);
        };
        return {one(at[0]), one(at[1]), one(at[2])};
    }
    static std::uint64_t key(std::int64_t a, std::int64_t b, std::int64_t c) {
        const auto periodic = [](std::int64_t i) { return static_cast<std::uint64_t>((i + kBuckets) % kBuckets); };
        return (periodic(a) << 40) | (periodic(b) << 20) | periodic(c);
    }
    std::size_t find_in(std::uint64_t bucket, const Vec3& at, std::uint32_t kind) const {
        const auto found = buckets_.find(bucket);
        if (found == buckets_.end()) return kNowhere;
        for (const std::uint32_t index : found->second) {
            if (kinds_[index] != kind) continue;
            bool same = true;
            for (int axis = 0; axis < 3 && same; ++axis) {
                const double d = at[axis] - points_[index][axis];
                same = std::fabs(d - std::round(d)) <= kRepeatTolerance;
            }
            if (same) return index;
        }
        return kNowhere;
    }

    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> buckets_;
    std::vector<Vec3> points_;
    std::vector<std::uint32_t> kinds_;
};

AverageCell without_empty_sites(const AverageCell& cell) {
    AverageCell out;
    out.lattice = cell.lattice;
    out.n_elements = cell.n_elements;
    for (std::size_t site = 0; site < cell.n_sites(); ++site) {
        const double* row = cell.occupancy_of(site);
        if (std::none_of(row, row + cell.n_elements, [](double o) { return o != 0.0; })) continue;
        out.frac.push_back(cell.frac[site]);
        out.occupancy.insert(out.occupancy.end(), row, row + cell.n_elements);
    }
    return out;
}

// Sites of equal occupancies are of one kind; only a site of the same kind
// can stand in for another.
std::vector<std::uint32_t> site_kinds(const AverageCell& cell) {
    std::map<std::vector<double>, std::uint32_t> kinds;
    std::vector<std::uint32_t> out(cell.n_sites());
    for (std::size_t site = 0; site < cell.n_sites(); ++site) {
        const double* row = cell.occupancy_of(site);
        out[site] =
            kinds.try_emplace({row, row + cell.n_elements}, static_cast<std::uint32_t>(kinds.size())).first->second;
    }
    return out;
}

// The translations that map the crystal onto itself, 0 included, as a group
// closed under addition (modulo whole cells).
class Translations {
public:
    Translations(const AverageCell& cell, const std::vector<std::uint32_t>& kinds) : cell_(cell), kinds_(kinds) {
        for (std::size_t site = 0; site < cell.n_sites(); ++site) sites_.add(cell.frac[site], kinds[site]);
        // Sites of rare kinds first: a translation that fails, fails there soonest.
        std::vector<std::size_t> count(kinds.empty() ? 0 : *std::max_element(kinds.begin(), kinds.end()) + 1, 0);
        for (const std::uint32_t kind : kinds) ++count[kind];
        order_.resize(cell.n_sites());
        std::iota(order_.begin(), order_.end(), std::size_t{0});
        std::stable_sort(order_.begin(), order_.end(),
                         [&](std::size_t a, std::size_t b) { return count[kinds[a]] < count[kinds[b]]; });
        group_.add({0.0, 0.0, 0.0}, 0);
    }

    // Tries t: when it maps every site onto a site of its kind and is not in
    // the group yet, it joins the group with everything it generates.
    void try_translation(const Vec3& t) {
        if (group_.find(t, 0) != kNowhere) return;
        for (const std::size_t site : order_)
            if (sites_.find(cell_.frac[site] + t, kinds_[site]) == kNowhere) return;
        generators_.push_back(wrapped(t));
        for (std::size_t i = 0; i < group_.points().size(); ++i)
            for (const Vec3& generator : generators_) {
                const Vec3 next = group_.points()[i] + generator;
                if (group_.find(next, 0) == kNowhere) group_.add(next, 0);
            }
    }

    const std::vector<Vec3>& elements() const { return group_.points(); }
    // The site of this kind at `point`, or kNowhere.
    std::size_t site_at(const Vec3& point, std::uint32_t kind) const { return sites_.find(point, kind); }

private:
    const AverageCell& cell_;
    const std::vector<std::uint32_t>& kinds_;
    PlaceIndex sites_;
    PlaceIndex group_;
    std::vector<Vec3> generators_;
    std::vector<std::size_t> order_;
};

using IntRow = std::array<std::int64_t, 3>;

// g = gcd(a, b) > 0 with x a + y b = g, for a > 0.
std::array<std::int64_t, 3> extended_gcd(std::int64_t a, std::int64_t b) {
    std::int64_t old_r = a, r = b, old_x = 1, x = 0, old_y = 0, y = 1;
    while (r != 0) {
        const std::int64_t quotient = old_r / r;
        old_r = std::exchange(r, old_r - quotient * r);
        old_x = std::exchange(x, old_x - quotient * x);
        old_y = std::exchange(y, old_y - quotient * y);
    }
    if (old_r < 0) return {-old_r, -old_x, -old_y};
    return {old_r, old_x, old_y};
}

// An upper-triangular integer basis of the lattice that d Z^3 and the
// inserted rows span. Entries are kept below d: d e_j lies in the lattice,
// so adding multiples of it changes nothing spanned.
class IntegerBasis {
public:
    explicit IntegerBasis(std::int64_t d) : d_(d) {
        for (int k = 0; k < 3; ++k) rows_[k][k] = d;
    }

    void insert(IntRow w) {
        for (int k = 0; k < 3; ++k) {
            reduce(w, 0);
            if (w[k] == 0) continue;
            IntRow& pivot = rows_[k];
            const auto [g, x, y] = extended_gcd(pivot[k], w[k]);
            const std::int64_t p = pivot[k] / g, s = w[k] / g;
            IntRow combined{}, rest{};
            for (int j = 0; j < 3; ++j) {
                combined[j] = x * pivot[j] + y * w[j];
                rest[j] = s * pivot[j] - p * w[j];
            }
            pivot = combined;
            reduce(pivot, k + 1);
            w = rest;
        }
    }

    // Row k as a fraction of the given cell's axes.
    Vec3 row(int k) const {
        const auto d = static_cast<double>(d_);
        return {static_cast<double>(rows_[k][0]) / d, static_cast<double>(rows_[k][1]) / d,
                static_cast<double>(rows_[k][2]) / d};
    }
    std::int64_t pivot_product() const { return rows_[0][0] * rows_[1][1] * rows_[2][2]; }

private:
    void reduce(IntRow& w, int from) const {
        for (int j = from; j < 3; ++j) w[j] %= d_;
    }

    std::int64_t d_;
    std::array<IntRow, 3> rows_{};
};

Vec3 to_cartesian(const Mat3& lattice, const Vec3& frac) {
    return frac[0] * lattice[0] + frac[1] * lattice[1] + frac[2] * lattice[2];
}

// Shortens the basis pair by pair (each step subtracts a whole multiple of
// one row from another, so the lattice stays the same) until no row gets
// shorter: the reflections of the cell are then bounded by a box not much
// larger than their sphere.
void shorten(std::array<Vec3, 3>& rows, const Mat3& lattice) {
    for (int pass = 0; pass < 100; ++pass) {
        bool changed = false;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                if (i == j) continue;
                const Vec3 vi = to_cartesian(lattice, rows[i]), vj = to_cartesian(lattice, rows[j]);
                const double m = std::round(dot(vi, vj) / dot(vj, vj));
                if (m == 0.0) continue;
                rows[i] -= m * rows[j];
                changed = true;
            }
        if (!changed) return;
    }
}

std::optional<Mat3> inverse_of(const std::array<Vec3, 3>& m) {
    const Vec3 c0 = cross(m[1], m[2]), c1 = cross(m[2], m[0]), c2 = cross(m[0], m[1]);
    const double det = dot(m[0], c0);
    if (!(std::fabs(det) > 1e-300)) return std::nullopt;
    // inverse[i][j] = cofactor column j, row i / det.
    return Mat3{Vec3{c0[0] / det, c1[0] / det, c2[0] / det}, Vec3{c0[1] / det, c1[1] / det, c2[1] / det},
                Vec3{c0[2] / det, c1[2] / det, c2[2] / det}};
}

// The basis of the lattice the translations span with whole cells, or
// nothing when a translation is no fraction with the group's order as
// denominator (it then is no true translation of a finite group).
std::optional<std::array<Vec3, 3>> translation_basis(const std::vector<Vec3>& group, const Mat3& lattice) {
    const auto order = static_cast<std::int64_t>(group.size());
    const auto d = static_cast<double>(order);
    IntegerBasis basis(order);
    for (const Vec3& t : group) {
        IntRow w{};
        for (int axis = 0; axis < 3; ++axis) {
            const double scaled = t[axis] * d;
            if (std::fabs(scaled - std::round(scaled)) > 1e-6) return std::nullopt;
            w[axis] = static_cast<std::int64_t>(std::round(scaled));
        }
        basis.insert(w);
    }
    // The group has `order` elements, so the new cell is that much smaller.
    if (basis.pivot_product() != order * order) return std::nullopt;
    std::array<Vec3, 3> rows{basis.row(0), basis.row(1), basis.row(2)};
    shorten(rows, lattice);
    return rows;
}

// The sites of the small cell: one of each orbit under the translations,
// in the small cell's fractional coordinates; nothing when an orbit is not
// complete (two sites on one place).
std::optional<AverageCell> orbit_cell(const AverageCell& cell, const std::vector<std::uint32_t>& kinds,
                                      const Translations& translations, const std::array<Vec3, 3>& rows) {
    const std::optional<Mat3> to_small = inverse_of(rows);
    if (!to_small) return std::nullopt;
    AverageCell out;
    out.n_elements = cell.n_elements;
    for (int k = 0; k < 3; ++k) out.lattice[k] = to_cartesian(cell.lattice, rows[k]);
    std::vector<bool> placed(cell.n_sites(), false);
    std::size_t n_placed = 0;
    for (std::size_t site = 0; site < cell.n_sites(); ++site) {
        if (placed[site]) continue;
        for (const Vec3& t : translations.elements()) {
            const std::size_t image = translations.site_at(cell.frac[site] + t, kinds[site]);
            if (image == kNowhere || placed[image]) return std::nullopt;
            placed[image] = true;
            ++n_placed;
        }
        const Vec3& x = cell.frac[site];
        const Mat3& m = *to_small;
        out.frac.push_back(
            wrapped({x[0] * m[0][0] + x[1] * m[1][0] + x[2] * m[2][0], x[0] * m[0][1] + x[1] * m[1][1] + x[2] * m[2][1],
                     x[0] * m[0][2] + x[1] * m[1][2] + x[2] * m[2][2]}));
        const double* row = cell.occupancy_of(site);
        out.occupancy.insert(out.occupancy.end(), row, row + cell.n_elements);
    }
    if (n_placed != cell.n_sites()) return std::nullopt;
    return out;
}

}  // namespace

RepeatingCell smallest_repeating_cell(const AverageCell& given) {
    RepeatingCell out{without_empty_sites(given), 1};
    const AverageCell& cell = out.cell;
    if (cell.n_sites() < 2) return out;
    const std::vector<std::uint32_t> kinds = site_kinds(cell);
    // Any translation moves the first site of the rarest kind onto another of its kind.
    std::vector<std::size_t> count(*std::max_element(kinds.begin(), kinds.end()) + 1, 0);
    for (const std::uint32_t kind : kinds) ++count[kind];
    const auto rarest = static_cast<std::uint32_t>(std::min_element(count.begin(), count.end()) - count.begin());
    if (count[rarest] < 2) return out;
    const std::size_t anchor = static_cast<std::size_t>(std::find(kinds.begin(), kinds.end(), rarest) - kinds.begin());

    Translations translations(cell, kinds);
    for (std::size_t site = anchor + 1; site < cell.n_sites(); ++site)
        if (kinds[site] == rarest) translations.try_translation(cell.frac[site] - cell.frac[anchor]);
    const std::size_t copies = translations.elements().size();
    if (copies == 1) return out;
    const std::optional<std::array<Vec3, 3>> rows = translation_basis(translations.elements(), cell.lattice);
    if (!rows) return out;
    std::optional<AverageCell> small = orbit_cell(cell, kinds, translations, *rows);
    if (!small) return out;
    return RepeatingCell{std::move(*small), copies};
}

}  // namespace kestrel
