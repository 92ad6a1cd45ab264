#include "formats/cif/merge.hpp"

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

// The periodic difference q - p, each axis in [-0.5, 0.5].
Vec3 nearest_difference(const Vec3& p, const Vec3& q) {
    Vec3 d;
    for (int axis = 0; axis < 3; ++axis) d[axis] = q[axis] - p[axis] - std::round(q[axis] - p[axis]);
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

}  // namespace

SiteMerger::SiteMerger(double symprec, std::size_t expected_positions)
    : symprec_(symprec), merges_(symprec > 0.0) {
    if (!merges_ || expected_positions <= 16) return;
    // Cells a little wider than symprec, so rounding of position * cells can
    // never put two matching positions more than one cell apart; and about
    // as many cells as positions, so a cell holds a site or two.
    double cells = std::min(std::floor(0.999 / symprec), std::ceil(std::cbrt(static_cast<double>(expected_positions))));
    cells = std::min(cells, static_cast<double>(kMaxCells));
    if (cells < 3.0) return;
    cells_ = static_cast<std::int64_t>(cells);
    reach_ = symprec * cells * (1.0 + 1e-9) + 1e-9;
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
    const double scaled = std::floor(coordinate * static_cast<double>(cells_));
    if (scaled <= 0.0) return 0;
    if (scaled >= static_cast<double>(cells_ - 1)) return cells_ - 1;
    return static_cast<std::int64_t>(scaled);
}

std::uint64_t SiteMerger::cell_key(std::int64_t i, std::int64_t j, std::int64_t k) const {
    const auto wrap = [&](std::int64_t v) { return static_cast<std::uint64_t>((v + cells_) % cells_); };
    return (wrap(i) << 40) | (wrap(j) << 20) | wrap(k);
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
                auto found = newest_in_cell_.find(cell_key(is[a], js[b], ks[c]));
                if (found == newest_in_cell_.end()) continue;
                for (std::uint32_t s = found->second; s != kNone; s = older_in_cell_[s])
                    if (s < best && matches(sites_[s].frac, position)) best = s;
            }
    return best == kNone ? -1 : static_cast<std::int64_t>(best);
}

void SiteMerger::add(const std::string& element, double occupancy, const Vec3& position, std::uint32_t row) {
    const std::int64_t match = first_match(position);
    if (match >= 0) {
        const auto site = static_cast<std::size_t>(match);
        std::vector<SpeciesOccupancy>& species = sites_[site].species;
        for (std::size_t e = 0; e < species.size(); ++e) {
            if (species[e].element != element) continue;
            double& held = species[e].occupancy;
            if (last_row_[site][e] == row) {
                // Another image of the same row: an atom on a special position.
                held = std::max(held, occupancy);
            } else if (held + occupancy > kFullSite && std::fabs(held - occupancy) <= kSameOccupancy) {
                // The same atom written again as a row of its own.
                if (repeated_rows_.empty() || repeated_rows_.back() != row) repeated_rows_.push_back(row);
            } else {
                // A disorder part of the same element at the same place.
                held += occupancy;
                last_row_[site][e] = row;
                if (added_rows_.empty() || added_rows_.back() != row) added_rows_.push_back(row);
            }
            return;
        }
        species.push_back({element, occupancy});
        last_row_[site].push_back(row);
        return;
    }
    const auto index = static_cast<std::uint32_t>(sites_.size());
    sites_.push_back(Site{position, {SpeciesOccupancy{element, occupancy}}});
    last_row_.push_back({row});
    if (cells_ == 0) return;
    auto [slot, inserted] =
        newest_in_cell_.try_emplace(cell_key(cell_of(position[0]), cell_of(position[1]), cell_of(position[2])), index);
    older_in_cell_.push_back(inserted ? kNone : slot->second);
    slot->second = index;
}

std::size_t collapse_near_images(std::vector<Vec3>& images, double occupancy, const Mat3& lattice, double symprec) {
    if (!(symprec > 0.0) || images.size() < 2) return 0;
    const auto coincide = [&](const Vec3& p, const Vec3& q) {
        const Vec3 d = nearest_difference(p, q);
        return std::fabs(d[0]) < symprec && std::fabs(d[1]) < symprec && std::fabs(d[2]) < symprec;
    };
    // Each group: the indices of its distinct positions, the first one kept.
    std::vector<std::vector<std::size_t>> groups;
    std::vector<std::size_t> group_of(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        std::size_t g = 0;
        while (g < groups.size() &&
               !(cartesian_length(nearest_difference(images[groups[g].front()], images[i]), lattice) <
                 kSameAtomDistance))
            ++g;
        if (g == groups.size()) groups.emplace_back();
        group_of[i] = g;
        std::vector<std::size_t>& distinct = groups[g];
        bool seen = false;
        for (std::size_t k : distinct) seen = seen || coincide(images[k], images[i]);
        if (!seen) distinct.push_back(i);
    }
    std::size_t merged = 0;
    std::vector<Vec3> kept;
    kept.reserve(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const std::vector<std::size_t>& distinct = groups[group_of[i]];
        const bool one_atom = distinct.size() > 1 && static_cast<double>(distinct.size()) * occupancy > kFullSite;
        if (one_atom && i != distinct.front()) continue;
        kept.push_back(images[i]);
    }
    for (const std::vector<std::size_t>& distinct : groups)
        if (distinct.size() > 1 && static_cast<double>(distinct.size()) * occupancy > kFullSite)
            merged += distinct.size() - 1;
    images = std::move(kept);
    return merged;
}

}  // namespace kestrel
