#include "bigbox/pair_state.hpp"

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
    for (std::uint8_t t : sites.species) state.site_kind_.push_back(t == kVacancy ? kSkippedKind : t);
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
    state.listed_.assign(size, 0);
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
    if (n_bins_ > 65535) return false;
    std::vector<std::uint32_t> start{0}, site;
    std::vector<std::uint16_t> bins;
    for (std::uint32_t i = 0; i < species_.size(); ++i) grid_.set_kind(i, 0);
    bool fits = true;
    for (std::uint32_t i = 0; i < species_.size() && fits; ++i) {
        grid_.for_each_near(frac_[i], grid_.position(i), reach2_, [&](std::uint32_t k, std::uint8_t, double d2) {
            const int at = bin_of(d2);
            if (at < 0) return;
            site.push_back(k);
            bins.push_back(static_cast<std::uint16_t>(at));
        });
        fits = site.size() <= max_entries;
        start.push_back(static_cast<std::uint32_t>(site.size()));
    }
    for (std::uint32_t i = 0; i < species_.size(); ++i)
        grid_.set_kind(i, species_[i] == kVacancy ? kSkippedKind : species_[i]);
    if (!fits || site.size() >= UINT32_MAX) return false;
    lists_ = std::make_shared<const PairLists>(PairLists{std::move(start), std::move(site), std::move(bins)});
    return true;
}

void PairState::clear_delta() {
    for (std::uint32_t at : touched_) {
        delta_[at] = 0;
        listed_[at] = 0;
    }
    touched_.clear();
}

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
    if (!moves && lists_ && min2.empty()) {
        // The site's pairs as listed while nothing has moved.
        const std::uint32_t* row = row_.data();
        const PairLists& lists = *lists_;
        for (std::size_t e = lists.start[i], end = lists.start[i + 1]; e < end; ++e) {
            const std::uint8_t t = site_kind_[lists.site[e]];
            if (t >= kSkippedKind) continue;
            const std::uint32_t bin = lists.bin[e];
            if (old_type != kVacancy) add_at(row[old_type * m_ + t] + bin, -2);
            if (new_type != kVacancy) add_at(row[new_type * m_ + t] + bin, 2);
        }
        return true;
    }
    if (!moves) return sweep(frac_[i], grid_.position(i), old_type, new_type);
    if (old_type != kVacancy) sweep(frac_[i], grid_.position(i), old_type, kVacancy);
    return new_type == kVacancy || sweep(change.frac, grid_.cartesian(change.frac), kVacancy, new_type);
}

// The pairs among the changed sites, their own periodic images included,
// before (removed) and after (added) the move; each ordered pair once.
bool PairState::pairs_within(const std::vector<SiteChange>& change, const std::vector<double>& min2) {
    const std::array<int, 3>& span = grid_.image_span();
    bool allowed = true;
    for (const SiteChange& first : change)
        for (const SiteChange& second : change)
            for (int after = 0; after < 2; ++after) {
                const std::uint8_t a = after ? first.species : species_[first.site];
                const std::uint8_t b = after ? second.species : species_[second.site];
                if (a == kVacancy || b == kVacancy) continue;
                const Vec3 p = after ? grid_.cartesian(first.frac) : grid_.position(first.site);
                const Vec3 q = after ? grid_.cartesian(second.frac) : grid_.position(second.site);
                const bool self = first.site == second.site;
                for (int x = -span[0]; x <= span[0]; ++x)
                    for (int y = -span[1]; y <= span[1]; ++y)
                        for (int z = -span[2]; z <= span[2]; ++z) {
                            if (self && x == 0 && y == 0 && z == 0) continue;
                            const double d2 = norm2(separation(p, q, translation(grid_.matrix(), x, y, z)));
                            if (after && too_close(min2, m_, a, b, d2)) allowed = false;
                            const int at = bin_of(d2);
                            if (at >= 0) add(a, b, at, after ? 1 : -1);
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
        site_kind_[c.site] = kSkippedKind;
    }
    bool allowed = true;
    for (const SiteChange& c : pending_) allowed = pairs_with_others(c, min_distance2) && allowed;
    allowed = pairs_within(pending_, min_distance2) && allowed;
    for (const SiteChange& c : pending_) {
        grid_.set_kind(c.site, species_[c.site]);
        site_kind_[c.site] = species_[c.site];
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
        species_[c.site] = c.species;
        site_kind_[c.site] = c.species == kVacancy ? kSkippedKind : c.species;
        if (c.frac != frac_[c.site]) {
            // Listed pairs hold only while nothing moves.
            lists_.reset();
            frac_[c.site] = c.frac;
            grid_.place(c.site, c.frac, c.species);
        } else {
            grid_.set_kind(c.site, c.species);
        }
    }
    pending_.clear();
}

}  // namespace kestrel::bigbox
