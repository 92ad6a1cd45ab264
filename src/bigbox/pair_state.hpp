// The pair histograms of an ordered supercell, kept up to date move by
// move: a move changes only the pairs of the sites it touches, so its
// effect on the histograms is read from their neighbours within the reach,
// never from a recount.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/error.hpp"
#include "bigbox/cell_grid.hpp"
#include "model/lattice.hpp"

namespace kestrel::bigbox {

// The species code of an empty site: it holds no atom and makes no pairs.
inline constexpr std::uint8_t kVacancy = 255;

// The supercell as the moves see it: every site with one species (or a vacancy).
struct ModelSites {
    Mat3 lattice{};
    std::vector<Vec3> frac;
    std::vector<std::uint8_t> species;  // index into the model's elements, or kVacancy
    std::size_t n_species = 0;
};

// The new state of one site touched by a move.
struct SiteChange {
    std::uint32_t site;
    std::uint8_t species;
    Vec3 frac;  // need not be wrapped
};

// Unordered species pairs a <= b, numbered row by row: (0,0), (0,1), ... (1,1), ...
inline std::size_t pair_index(std::size_t a, std::size_t b, std::size_t m) {
    if (a > b) std::swap(a, b);
    return a * m - a * (a - 1) / 2 + (b - a);
}
inline std::size_t n_pairs(std::size_t m) {
    return m * (m + 1) / 2;
}

class PairState {
public:
    // Histograms of `n_bins` bins of width `bin` (the reach is their product).
    static Result<PairState> make(const ModelSites& sites, double bin, std::size_t n_bins);

    std::size_t n_species() const { return m_; }
    std::size_t n_bins() const { return n_bins_; }
    double bin() const { return bin_; }
    std::size_t size() const { return species_.size(); }
    // Ordered pair counts (each pair twice, once from each end), [pair][bin].
    const std::vector<std::int32_t>& counts() const { return counts_; }
    std::uint8_t species(std::uint32_t site) const { return species_[site]; }
    const Vec3& frac(std::uint32_t site) const { return frac_[site]; }
    const Mat3& lattice() const { return grid_.matrix(); }

    // The change of the counts if `change` were made (at most one entry per
    // site), kept for accept(); false, with nothing kept, when the move would
    // bring a pair closer than `min_distance2` (squared, [a * m + b]; empty
    // for no limits).
    bool trial(const std::vector<SiteChange>& change, const std::vector<double>& min_distance2);
    // The count indices ([pair * n_bins + bin]) the last trial changed, and by how much.
    const std::vector<std::uint32_t>& touched() const { return touched_; }
    std::int32_t delta(std::uint32_t index) const { return delta_[index]; }
    // Makes the last trial's move.
    void accept();
    // Lists every site's neighbours within the reach, grouped into shells
    // (one per bin it has neighbours in), and counts per shell the
    // neighbours of each species. A move that changes species but no
    // position then reads a site's few shells instead of sweeping the grid;
    // an accepted one updates the counts of its neighbours' shells. The
    // lists go as soon as a site moves. False (nothing listed) when they
    // would take more than `max_entries` entries.
    bool list_pairs(std::size_t max_entries);
    bool listed() const { return static_cast<bool>(shells_); }

private:
    // A pair at distance zero (an atom and itself, or two on one spot) has no bin.
    int bin_of(double d2) const {
        if (!(d2 > 0.0 && d2 < reach2_)) return -1;
        const int b = static_cast<int>(std::sqrt(d2) * inverse_bin_);
        return b < static_cast<int>(n_bins_) ? b : -1;
    }
    void add(std::size_t a, std::size_t b, int bin, std::int32_t amount) {
        const std::uint32_t at = row_[a * m_ + b] + static_cast<std::uint32_t>(bin);
        add_at(at, amount);
    }
    void add_at(std::uint32_t at, std::int32_t amount) {
        if (!in_touched_[at]) {
            in_touched_[at] = 1;
            touched_.push_back(at);
        }
        delta_[at] += amount;
    }
    void clear_delta();
    bool pairs_with_others(const SiteChange& change, const std::vector<double>& min2);
    void pairs_from_shells(const SiteChange& change);
    bool pairs_within(const std::vector<SiteChange>& change, const std::vector<double>& min2, bool from_shells);
    void update_shells(std::uint32_t site, std::uint8_t removed, std::uint8_t added);

    CellGrid grid_;
    std::size_t m_ = 0, n_bins_ = 0;
    double bin_ = 0.0, inverse_bin_ = 0.0, reach2_ = 0.0;
    std::vector<std::uint8_t> species_;
    // Per site its neighbours within the reach, grouped by bin: site i's
    // shells are rows [first_row[i], first_row[i + 1]), its neighbour
    // entries [first_entry[i], first_entry[i + 1]); an entry holds the row
    // of the neighbour's own shells that the site sits in (a pair has one
    // distance seen from either end). Shared by the copies of a state (the
    // replicas), which all start from the same positions; null unless
    // listed, and dropped by a copy whose sites move.
    struct Shells {
        std::vector<std::uint32_t> first_row, row_bin, first_entry, mirror;
    };
    std::shared_ptr<const Shells> shells_;
    // [row * m + species]: the neighbours of that species in the shell of that row.
    std::vector<std::uint16_t> around_;
    std::vector<Vec3> frac_;          // wrapped into [0, 1)
    std::vector<std::uint32_t> row_;  // [a * m + b]: where the pair's histogram starts in counts_
    std::vector<std::int32_t> counts_;
    std::vector<std::int32_t> delta_;       // the last trial's change, [pair][bin]
    std::vector<std::uint32_t> touched_;    // where delta_ may be non-zero, each once
    std::vector<std::uint8_t> in_touched_;  // per count index: in touched_
    std::vector<SiteChange> pending_;       // the last trial, positions wrapped
};

}  // namespace kestrel::bigbox
