#include "bigbox/pair_state.hpp"

#include <algorithm>
#include <cmath>

namespace kestrel::bigbox {
namespace {

Vec3 wrapped(const Vec3& frac) {
    return {wrap_unit(frac[0]), wrap_unit(frac[1]), wrap_unit(frac[2])};
}

bool too_close(const std::vector<double>& min2, std::size_t m, std::size_t a, std::size_t b, double d2) {
    return !min2.empty() && d2 < min2[a * m + b];
}

}  // namespace

Result<PairState> PairState::make(const ModelSites& sites, double bin, std::size_t n_bins) {
    if (sites.frac.size() != sites.species.size()) return fail("one species per site is needed");
    if (sites.frac.empty()) return fail("the model has no sites");
    if (sites.n_species == 0 || sites.n_species >= kSkippedKind) return fail("a model holds 1 to 253 species");
    if (!(bin > 0.0) || n_bins == 0) return fail("the histogram needs bins");
    if (static_cast<double>(n_pairs(sites.n_species)) * static_cast<double>(n_bins) > 2e9)
        return fail_limit("the histograms would be too large");
    for (std::uint8_t t : sites.species)
        if (t != kVacancy && t >= sites.n_species) return fail("a site's species is out of range");
    Result<Lattice> lattice = make_lattice(sites.lattice);
    if (!lattice) return lattice.take_error();
    const double reach = bin * static_cast<double>(n_bins);
    Result<CellGrid> grid = CellGrid::make(*lattice, reach, sites.frac.size());
    if (!grid) return grid.take_error();
    PairState state;
    state.grid_ = std::move(*grid);
    state.m_ = sites.n_species;
    state.n_bins_ = n_bins;
    state.bin_ = bin;
    state.inverse_bin_ = 1.0 / bin;
    state.reach2_ = reach * reach;
    state.species_ = sites.species;
    state.frac_.resize(sites.frac.size());
    for (std::size_t i = 0; i < sites.frac.size(); ++i) {
        for (double x : sites.frac[i])
            if (!std::isfinite(x)) return fail("a site's coordinates are not finite");
        state.frac_[i] = wrapped(sites.frac[i]);
        state.grid_.place(static_cast<std::uint32_t>(i), state.frac_[i], state.species_[i]);
    }
    for (std::size_t a = 0; a < state.m_; ++a)
        for (std::size_t b = 0; b < state.m_; ++b)
            state.row_.push_back(static_cast<std::uint32_t>(pair_index(a, b, state.m_) * n_bins));
    const std::size_t size = n_pairs(state.m_) * n_bins;
    state.counts_.assign(size, 0);
    state.delta_.assign(size, 0);
    state.in_touched_.assign(size, 0);
    // Every ordered pair, from each of its two ends.
    for (std::uint32_t i = 0; i < state.species_.size(); ++i) {
        const std::uint8_t a = state.species_[i];
        if (a == kVacancy) continue;
        const Vec3 p = state.grid_.position(i);
        state.grid_.for_each_near(state.frac_[i], p, state.reach2_, [&](std::uint32_t, std::uint8_t b, double d2) {
            const int at = state.bin_of(d2);
            if (at >= 0) ++state.counts_[pair_index(a, b, state.m_) * n_bins + static_cast<std::size_t>(at)];
        });
    }
    return state;
}

bool PairState::list_pairs(std::size_t max_entries) {
    // Every site's neighbours, vacant ones too: a swap may fill them.
    auto shells = std::make_shared<Shells>();
    std::vector<std::uint32_t> neighbour, own_row;              // per entry, while the mirrors are found
    std::vector<std::pair<std::uint32_t, std::uint32_t>> near;  // (bin, site) of one site's neighbours
    for (std::uint32_t i = 0; i < species_.size(); ++i) grid_.set_kind(i, 0);
    shells->first_row.push_back(0);
    shells->first_entry.push_back(0);
    bool fits = true;
    for (std::uint32_t i = 0; i < species_.size() && fits; ++i) {
        near.clear();
        grid_.for_each_near(frac_[i], grid_.position(i), reach2_, [&](std::uint32_t k, std::uint8_t, double d2) {
            const int at = bin_of(d2);
            if (at >= 0) near.emplace_back(static_cast<std::uint32_t>(at), k);
        });
        std::sort(near.begin(), near.end());
        for (std::size_t e = 0; e < near.size(); ++e) {
            if (e == 0 || near[e].first != near[e - 1].first) shells->row_bin.push_back(near[e].first);
            neighbour.push_back(near[e].second);
            own_row.push_back(static_cast<std::uint32_t>(shells->row_bin.size() - 1));
        }
        fits = neighbour.size() <= max_entries && neighbour.size() < UINT32_MAX;
        shells->first_row.push_back(static_cast<std::uint32_t>(shells->row_bin.size()));
        shells->first_entry.push_back(static_cast<std::uint32_t>(neighbour.size()));
    }
    for (std::uint32_t i = 0; i < species_.size(); ++i)
        grid_.set_kind(i, species_[i] == kVacancy ? kSkippedKind : species_[i]);
    if (!fits) return false;
    // The entry i -> k sits at the bin of its own row; k's shells hold i at that same bin.
    shells->mirror.resize(neighbour.size());
    const std::vector<std::uint32_t>& row_bin = shells->row_bin;
    for (std::uint32_t i = 0; i < species_.size(); ++i)
        for (std::uint32_t e = shells->first_entry[i]; e < shells->first_entry[i + 1]; ++e) {
            const std::uint32_t k = neighbour[e], bin = row_bin[own_row[e]];
            const auto first = row_bin.begin() + shells->first_row[k],
                       last = row_bin.begin() + shells->first_row[k + 1];
            shells->mirror[e] = static_cast<std::uint32_t>(std::lower_bound(first, last, bin) - row_bin.begin());
        }
    // Counts beyond 16 bits in one shell of one bin cannot be kept.
    std::vector<std::uint32_t> around(shells->row_bin.size() * m_, 0);
    for (std::uint32_t i = 0; i < species_.size(); ++i) {
        if (species_[i] == kVacancy) continue;
        for (std::uint32_t e = shells->first_entry[i]; e < shells->first_entry[i + 1]; ++e)
            if (++around[shells->mirror[e] * m_ + species_[i]] > UINT16_MAX) return false;
    }
    around_.assign(around.begin(), around.end());
    shells_ = std::move(shells);
    return true;
}

void PairState::clear_delta() {
    for (std::uint32_t at : touched_) {
        delta_[at] = 0;
        in_touched_[at] = 0;
    }
    touched_.clear();
}

// The pairs of one changed site with the sites the move leaves alone, each
// counted for both its ends.
// The pairs of one changed site with the sites the move leaves alone, each
// counted for both its ends.
bool PairState::pairs_with_others(const SiteChange& change, const std::vector<double>& min2) {
    const std::uint32_t i = change.site;
    const std::uint8_t old_type = species_[i], new_type = change.species;
    const bool moves = change.frac != frac_[i];
    const auto sweep = [&](const Vec3& frac, const Vec3& p, std::uint8_t removed, std::uint8_t added) {
        bool allowed = true;
        grid_.for_each_near(frac, p, reach2_, [&](std::uint32_t, std::uint8_t t, double d2) {
            const int at = bin_of(d2);
            if (added != kVacancy && too_close(min2, m_, added, t, d2)) allowed = false;
            if (at < 0) return;
            if (removed != kVacancy) add(removed, t, at, -2);
            if (added != kVacancy) add(added, t, at, 2);
        });
        return allowed;
    };
    if (!moves) return sweep(frac_[i], grid_.position(i), old_type, new_type);
    if (old_type != kVacancy) sweep(frac_[i], grid_.position(i), old_type, kVacancy);
    return new_type == kVacancy || sweep(change.frac, grid_.cartesian(change.frac), kVacancy, new_type);
}

// The same read from the site's shells, which count every neighbour, the
// other changed sites too: pairs_within takes those out again.
void PairState::pairs_from_shells(const SiteChange& change) {
    const std::uint8_t old_type = species_[change.site], new_type = change.species;
    const Shells& shells = *shells_;
    const std::uint32_t* row = row_.data();
    for (std::uint32_t r = shells.first_row[change.site], end = shells.first_row[change.site + 1]; r < end; ++r) {
        const std::uint32_t bin = shells.row_bin[r];
        const std::uint16_t* count = around_.data() + static_cast<std::size_t>(r) * m_;
        for (std::size_t t = 0; t < m_; ++t) {
            if (count[t] == 0) continue;
            const std::int32_t amount = 2 * static_cast<std::int32_t>(count[t]);
            if (old_type != kVacancy) add_at(row[old_type * m_ + t] + bin, -amount);
            if (new_type != kVacancy) add_at(row[new_type * m_ + t] + bin, amount);
        }
    }
}

void PairState::update_shells(std::uint32_t site, std::uint8_t removed, std::uint8_t added) {
    const Shells& shells = *shells_;
    for (std::uint32_t e = shells.first_entry[site], end = shells.first_entry[site + 1]; e < end; ++e) {
        std::uint16_t* count = around_.data() + static_cast<std::size_t>(shells.mirror[e]) * m_;
        if (removed != kVacancy) --count[removed];
        if (added != kVacancy) ++count[added];
    }
}

// The pairs among the changed sites, their own periodic images included,
// before (removed) and after (added) the move; each ordered pair once.
// `from_shells`: the shells counted each changed site's pairs with the
// others (and with its own images) at their old species, which is taken out.
bool PairState::pairs_within(const std::vector<SiteChange>& change, const std::vector<double>& min2, bool from_shells) {
    bool allowed = true;
    const Mat3& matrix = grid_.matrix();
    for (const SiteChange& first : change)
        for (const SiteChange& second : change) {
            const bool self = first.site == second.site;
            const std::uint8_t first_old = species_[first.site], second_old = species_[second.site];
            for (int after = 0; after < 2; ++after) {
                const std::uint8_t a = after ? first.species : first_old;
                const std::uint8_t b = after ? second.species : second_old;
                const bool counted = from_shells && !after && b != kVacancy;
                if ((a == kVacancy || b == kVacancy) && !counted) continue;
                const Vec3 p = after ? grid_.cartesian(first.frac) : grid_.position(first.site);
                const Vec3 q = after ? grid_.cartesian(second.frac) : grid_.position(second.site);
                for (const std::array<int, 3>& image : grid_.images()) {
                    if (self && image[0] == 0 && image[1] == 0 && image[2] == 0) continue;
                    const double d2 = norm2(separation(p, q, translation(matrix, image[0], image[1], image[2])));
                    if (after && a != kVacancy && b != kVacancy && too_close(min2, m_, a, b, d2)) allowed = false;
                    const int at = bin_of(d2);
                    if (at < 0) continue;
                    if (a != kVacancy && b != kVacancy) add(a, b, at, after ? 1 : -1);
                    if (counted) {
                        if (a != kVacancy) add(a, b, at, 2);
                        if (first.species != kVacancy) add(first.species, b, at, -2);
                    }
                }
            }
        }
    return allowed;
}

bool PairState::trial(const std::vector<SiteChange>& change, const std::vector<double>& min_distance2) {
    clear_delta();
    pending_ = change;
    // The changed sites drop out of the sweeps: their pairs among
    // themselves are counted apart, image by image.
    for (SiteChange& c : pending_) {
        c.frac = wrapped(c.frac);
        grid_.set_kind(c.site, kSkippedKind);
    }
    // Shells hold only while nothing moves, and know no distance windows.
    bool from_shells = shells_ && min_distance2.empty();
    for (const SiteChange& c : pending_) from_shells = from_shells && c.frac == frac_[c.site];
    bool allowed = true;
    for (const SiteChange& c : pending_) {
        if (from_shells) pairs_from_shells(c);
        else allowed = pairs_with_others(c, min_distance2) && allowed;
    }
    allowed = pairs_within(pending_, min_distance2, from_shells) && allowed;
    for (const SiteChange& c : pending_) {
        grid_.set_kind(c.site, species_[c.site]);
    }
    if (!allowed) {
        clear_delta();
        pending_.clear();
    }
    return allowed;
}

void PairState::accept() {
    for (std::uint32_t at : touched_) counts_[at] += delta_[at];
    clear_delta();
    for (const SiteChange& c : pending_) {
        if (c.frac != frac_[c.site]) {
            // Shells hold only while nothing moves.
            shells_.reset();
            around_.clear();
        }
    }
    for (const SiteChange& c : pending_) {
        const std::uint8_t old_type = species_[c.site];
        species_[c.site] = c.species;
        if (shells_ && old_type != c.species) update_shells(c.site, old_type, c.species);
        if (c.frac != frac_[c.site]) {
            frac_[c.site] = c.frac;
            grid_.place(c.site, c.frac, c.species);
        } else {
            grid_.set_kind(c.site, c.species);
        }
    }
    pending_.clear();
}

}  // namespace kestrel::bigbox
