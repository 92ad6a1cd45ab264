#include "formats/cif/merge.hpp"

#include "formats/cif/close_pairs.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrel {
namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// Cells per axis at most, so a key of three indices fits in 64 bits.
constexpr std::int64_t kMaxCells = std::int64_t{1} << 20;
// The occupancy a site may hold, with the structure model's rounding allowance.
constexpr double kFullSite = 1.001;
// Occupancies closer than this are the same number written twice.
constexpr double kSameOccupancy = 1e-6;

// The periodic difference q - p of two positions in [0, 1), each axis in [-0.5, 0.5].
Vec3 nearest_difference(const Vec3& p, const Vec3& q) {
    Vec3 d;
    for (int axis = 0; axis < 3; ++axis) {
        double v = q[axis] - p[axis];
        if (v > 0.5) v -= 1.0;
        if (v < -0.5) v += 1.0;
        d[axis] = v;
    }
    return d;
}

double cartesian_length(const Vec3& frac, const Mat3& lattice) {
    double sum = 0.0;
    for (int j = 0; j < 3; ++j) {
        const double c = frac[0] * lattice[0][j] + frac[1] * lattice[1][j] + frac[2] * lattice[2][j];
        sum += c * c;
    }
    return std::sqrt(sum);
}

// Up to this many images, comparing every pair costs less than sorting them.
constexpr std::size_t kFewImages = 8;

// collapse_near_images' bookkeeping, per image.
struct CollapseTables {
    std::vector<std::size_t> leader_of;  // its group's leader
    std::vector<char> leads;
    std::vector<std::size_t> next_distinct;
    std::vector<std::size_t> last_distinct;   // per leader: the end of its chain
    std::vector<std::size_t> distinct_count;  // per leader
    std::vector<std::size_t> along_a;
};

}  // namespace

SiteMerger::SiteMerger(double symprec, std::size_t expected_positions) : symprec_(symprec), merges_(symprec > 0.0) {
    if (!merges_ || expected_positions <= 16) return;
    // Cells a little wider than symprec, so rounding of position * cells can
    // never put two matching positions more than one cell apart; and about
    // as many cells as positions, so a cell holds a site or two.
    double cells = std::min(std::floor(0.999 / symprec), std::ceil(std::cbrt(static_cast<double>(expected_positions))));
    cells = std::min(cells, static_cast<double>(kMaxCells));
    if (cells < 3.0) return;
    cells_ = static_cast<std::int64_t>(cells);
    reach_ = symprec * cells * (1.0 + 1e-9) + 1e-9;
    // About as many cells as positions: a plain table of them costs what the
    // sites do.
    newest_in_cell_.assign(static_cast<std::size_t>(cells_ * cells_ * cells_), kNone);
    sites_.reserve(std::min<std::size_t>(expected_positions, std::size_t{1} << 16));
}

std::uint32_t& SiteMerger::last_row(std::size_t site, std::size_t entry) {
    if (entry == 0) return last_row_[site];
    return last_row_of_more_[(static_cast<std::uint64_t>(site) << 16) | entry];
}

bool SiteMerger::matches(const Vec3& p, const Vec3& q) const {
    for (int axis = 0; axis < 3; ++axis) {
        double d = std::fabs(p[axis] - q[axis]);
        if (d > 0.5) d = 1.0 - d;
        if (!(d < symprec_)) return false;
    }
    return true;
}

std::int64_t SiteMerger::cell_of(double coordinate) const {
    const double scaled = coordinate * static_cast<double>(cells_);
    if (!(scaled >= 1.0)) return 0;
    if (scaled >= static_cast<double>(cells_ - 1)) return cells_ - 1;
    return static_cast<std::int64_t>(scaled);  // rounds down: scaled is positive
}

std::uint64_t SiteMerger::cell_key(std::int64_t i, std::int64_t j, std::int64_t k) const {
    const auto wrap = [&](std::int64_t v) {
        return static_cast<std::uint64_t>(v < 0 ? v + cells_ : (v >= cells_ ? v - cells_ : v));
    };
    const auto n = static_cast<std::uint64_t>(cells_);
    return (wrap(i) * n + wrap(j)) * n + wrap(k);
}

int SiteMerger::cells_to_search(double coordinate, std::int64_t out[3]) const {
    const std::int64_t own = cell_of(coordinate);
    const double offset = coordinate * static_cast<double>(cells_) - static_cast<double>(own);
    int count = 0;
    out[count++] = own;
    if (offset < reach_) out[count++] = own - 1;
    if (1.0 - offset < reach_) out[count++] = own + 1;
    return count;
}

std::int64_t SiteMerger::first_match(const Vec3& position) const {
    if (!merges_) return -1;
    if (cells_ == 0) {
        for (std::size_t s = 0; s < sites_.size(); ++s)
            if (matches(sites_[s].frac, position)) return static_cast<std::int64_t>(s);
        return -1;
    }
    std::int64_t is[3], js[3], ks[3];
    const int ni = cells_to_search(position[0], is), nj = cells_to_search(position[1], js),
              nk = cells_to_search(position[2], ks);
    std::uint32_t best = kNone;
    for (int a = 0; a < ni; ++a)
        for (int b = 0; b < nj; ++b)
            for (int c = 0; c < nk; ++c) {
                for (std::uint32_t s = newest_in_cell_[cell_key(is[a], js[b], ks[c])]; s != kNone;
                     s = older_in_cell_[s])
                    if (s < best && matches(sites_[s].frac, position)) best = s;
            }
    return best == kNone ? -1 : static_cast<std::int64_t>(best);
}

std::size_t SiteMerger::add(const std::string& element, double occupancy, const Vec3& position, std::uint32_t row) {
    const std::int64_t match = first_match(position);
    if (match >= 0) {
        const auto site = static_cast<std::size_t>(match);
        SpeciesList& species = sites_[site].species;
        for (std::size_t e = 0; e < species.size(); ++e) {
            if (species[e].element != element) continue;
            double& held = species[e].occupancy;
            std::uint32_t& last = last_row(site, e);
            if (last == row) {
                // Another image of the same row: an atom on a special position.
                held = std::max(held, occupancy);
            } else if (held + occupancy > kFullSite && std::fabs(held - occupancy) <= kSameOccupancy) {
                // The same atom written again as a row of its own.
                if (repeated_rows_.empty() || repeated_rows_.back() != row) repeated_rows_.push_back(row);
            } else {
                // A disorder part of the same element at the same place.
                held += occupancy;
                last = row;
                if (added_rows_.empty() || added_rows_.back() != row) added_rows_.push_back(row);
            }
            return site;
        }
        species.push_back({element, occupancy});
        last_row(site, species.size() - 1) = row;
        return site;
    }
    const auto index = static_cast<std::uint32_t>(sites_.size());
    sites_.push_back(Site{position, {SpeciesOccupancy{element, occupancy}}});
    last_row_.push_back(row);
    if (cells_ == 0) return index;
    std::uint32_t& newest = newest_in_cell_[cell_key(cell_of(position[0]), cell_of(position[1]), cell_of(position[2]))];
    older_in_cell_.push_back(newest);
    newest = index;
    return index;
}

std::size_t collapse_near_images(std::vector<Vec3>& images, double occupancy, const Lattice& lattice, double symprec) {
    if (!(symprec > 0.0) || images.size() < 2) return 0;
    const auto coincide = [&](const Vec3& p, const Vec3& q) {
        const Vec3 d = nearest_difference(p, q);
        return std::fabs(d[0]) < symprec && std::fabs(d[1]) < symprec && std::fabs(d[2]) < symprec;
    };
    // Most pairs are rejected on their fractional difference alone.
    const Vec3 reach = fractional_reach(lattice, kSameAtomDistance);
    const auto near = [&](const Vec3& p, const Vec3& q) {
        const Vec3 d = nearest_difference(p, q);
        if (std::fabs(d[0]) > reach[0] || std::fabs(d[1]) > reach[1] || std::fabs(d[2]) > reach[2]) return false;
        return cartesian_length(d, lattice.matrix()) < kSameAtomDistance;
    };
    // Most rows sit on a general position, with no two images near: those
    // keep their images without the bookkeeping below.
    if (images.size() <= kFewImages) {
        bool any = false;
        for (std::size_t i = 1; i < images.size() && !any; ++i)
            for (std::size_t j = 0; j < i && !any; ++j) any = near(images[j], images[i]);
        if (!any) return 0;
    }
    // Each group is led by its first image, which it keeps; its distinct
    // positions (not within symprec of one another) form a chain from the
    // leader. An image joins the earliest group whose first image is near it; the
    // candidates come from a window of the images sorted along a, so a row
    // in a general position costs n log n rather than n squared.
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    // Every row of a file comes through here: the tables keep their memory
    // from one row to the next.
    thread_local CollapseTables tables;
    std::vector<std::size_t>& leader_of = tables.leader_of;
    std::vector<char>& leads = tables.leads;
    std::vector<std::size_t>& next_distinct = tables.next_distinct;
    std::vector<std::size_t>& last_distinct = tables.last_distinct;
    std::vector<std::size_t>& distinct_count = tables.distinct_count;
    std::vector<std::size_t>& along_a = tables.along_a;
    leader_of.resize(images.size());
    leads.assign(images.size(), 0);
    next_distinct.assign(images.size(), kNone);
    last_distinct.resize(images.size());
    distinct_count.assign(images.size(), 0);
    along_a.resize(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) along_a[i] = i;
    std::sort(along_a.begin(), along_a.end(),
              [&](std::size_t p, std::size_t q) { return images[p][0] < images[q][0]; });
    const auto first_at_or_above = [&](double a) {
        return static_cast<std::size_t>(
            std::lower_bound(along_a.begin(), along_a.end(), a,
                             [&](std::size_t k, double value) { return images[k][0] < value; }) -
            along_a.begin());
    };
    for (std::size_t i = 0; i < images.size(); ++i) {
        std::size_t leader = kNone;
        const auto consider = [&](std::size_t from, std::size_t to) {
            for (std::size_t k = from; k < to; ++k) {
                const std::size_t j = along_a[k];
                if (j < i && j < leader && leads[j] && near(images[j], images[i])) leader = j;
            }
        };
        const double a = images[i][0];
        if (reach[0] >= 0.5) {
            consider(0, images.size());
        } else {
            consider(first_at_or_above(a - reach[0]), first_at_or_above(std::nextafter(a + reach[0], 2.0)));
            // The window wraps around the cell face.
            if (a - reach[0] < 0.0) consider(first_at_or_above(a - reach[0] + 1.0), images.size());
            if (a + reach[0] >= 1.0) consider(0, first_at_or_above(std::nextafter(a + reach[0] - 1.0, 2.0)));
        }
        if (leader == kNone) {
            leads[i] = 1;
            leader_of[i] = i;
            last_distinct[i] = i;
            distinct_count[i] = 1;
            continue;
        }
        leader_of[i] = leader;
        bool seen = false;
        for (std::size_t k = leader; k != kNone && !seen; k = next_distinct[k]) seen = coincide(images[k], images[i]);
        if (seen) continue;
        next_distinct[last_distinct[leader]] = i;
        last_distinct[leader] = i;
        ++distinct_count[leader];
    }
    const auto one_atom = [&](std::size_t leader) {
        return distinct_count[leader] > 1 && static_cast<double>(distinct_count[leader]) * occupancy > kFullSite;
    };
    std::size_t merged = 0;
    for (std::size_t i = 0; i < images.size(); ++i)
        if (leads[i] && one_atom(i)) merged += distinct_count[i] - 1;
    if (merged == 0) return 0;
    std::vector<Vec3> kept;
    kept.reserve(images.size());
    for (std::size_t i = 0; i < images.size(); ++i)
        if (leads[i] || !one_atom(leader_of[i])) kept.push_back(images[i]);
    images = std::move(kept);
    return merged;
}

}  // namespace kestrel
