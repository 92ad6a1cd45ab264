#include "bigbox/refine.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "expand/rng.hpp"
#include "order/chain_rng.hpp"
#include "parallel/chunks.hpp"

namespace kestrel::bigbox {
namespace {

using Clock = std::chrono::steady_clock;

// The schedule cools geometrically from T0 (half the mean rise of the cost,
// Rw^2, over trial moves from the start) to T0 * kCooling at the end of the
// run, by iterations or by time: early on most uphill moves pass and the
// model roams; at the end only downhill moves do.
constexpr double kCooling = 1e-3;
constexpr int kWarmUpTrials = 256;
// Accepted moves between full re-summations of the models, which the
// running sums would otherwise drift from by rounding.
constexpr std::uint64_t kRefreshEvery = 1u << 15;
// Pair lists for runs without displacements take 6 bytes a pair; above
// this many (about 200 MB) the swaps sweep the cell grid instead.
constexpr std::size_t kMostListedPairs = std::size_t{32} << 20;
// Draws before a proposal gives up (a pool whose sites all hold one species).
constexpr int kDrawTries = 64;

// Replica k's generator starts from its own scrambled seed, so a replica
// runs the same way whichever thread or machine runs it.
std::uint64_t replica_seed(std::uint64_t seed, std::uint64_t replica) {
    expand::ExpansionRng mix(seed ^ (0x9E3779B97F4A7C15ULL * (replica + 1)));
    mix.next();
    return mix.next();
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Chain {
    struct SpeciesOf {
        const PairState& state;
        std::uint8_t operator()(std::uint32_t site) const { return state.species(site); }
    };

public:
    Chain(const BigBoxModel& model, const RefineSettings& settings, PairState state, std::vector<CurveFit> fits,
          std::uint64_t replica)
        : model_(model),
          settings_(settings),
          state_(std::move(state)),
          fits_(std::move(fits)),
          rng_(replica_seed(settings.seed, replica)),
          replica_(replica) {
        Result<Lattice> lattice = make_lattice(model.sites.lattice);
        inverse_ = lattice->inverse();
        for (const CurveFit& fit : fits_) total_importance_ += fit.importance();
        for (std::size_t p = 0; p < model.pools.size(); ++p) {
            const std::vector<std::uint32_t>& pool = model.pools[p];
            const bool mixed = std::any_of(pool.begin(), pool.end(), [&](std::uint32_t s) {
                return state_.species(s) != state_.species(pool.front());
            });
            if (mixed && pool.size() >= 2) {
                swap_pools_.push_back(p);
                swap_sizes_.push_back((swap_sizes_.empty() ? 0 : swap_sizes_.back()) + pool.size());
            }
        }
        for (std::size_t p = 0; p < model.unit_pools.size(); ++p) {
            const std::vector<UnitCopy>& copies = model.unit_pools[p];
            if (copies.size() < 2) continue;
            const std::size_t first = chosen_alternative(copies.front(), species_of());
            if (std::any_of(copies.begin(), copies.end(),
                            [&](const UnitCopy& c) { return chosen_alternative(c, species_of()) != first; }))
                unit_pools_.push_back(p);
        }
        if (settings.swap && !swap_pools_.empty()) kinds_.push_back(kSwap);
        if (settings.swap && !unit_pools_.empty()) kinds_.push_back(kUnit);
        if (settings.displace) kinds_.push_back(kDisplace);
    }

    ReplicaOutcome run(Clock::time_point start, const std::stop_token& stop, RefineProgress* progress) {
        ReplicaOutcome out;
        out.replica = replica_;
        for (CurveFit& fit : fits_) fit.refresh(state_.counts());
        double current = cost();
        const double t0 = warm_up();
        double temperature = t0;
        const std::uint64_t limit = settings_.iterations.value_or(UINT64_MAX);
        std::size_t recorded = 0;
        const auto record = [&](std::uint64_t trials) {
            out.history.push_back({trials, seconds_since(start), std::sqrt(current)});
        };
        record(0);
        std::uint64_t since_refresh = 0, trial = 0;
        for (; trial < limit && !kinds_.empty(); ++trial) {
            if ((trial & 255) == 0) {
                if (stop.stop_requested()) break;
                double fraction = 0.0;
                if (settings_.iterations)
                    fraction = static_cast<double>(trial) / static_cast<double>(*settings_.iterations);
                if (settings_.time_limit) fraction = std::max(fraction, seconds_since(start) / *settings_.time_limit);
                if (fraction >= 1.0) break;
                temperature = t0 * std::pow(kCooling, fraction);
                const std::size_t due = static_cast<std::size_t>(fraction * settings_.history_points);
                if (due > recorded) {
                    recorded = due;
                    record(trial);
                }
                if (progress && trial != 0) {
                    progress->tried.fetch_add(256, std::memory_order_relaxed);
                    lower(progress->best, std::sqrt(current));
                }
            }
            MoveKind kind;
            if (!propose(kind)) continue;
            ++out.tried[kind];
            if (!state_.trial(change_, settings_.min_distance2)) continue;
            const double next = trial_cost();
            const double rise = next - current;
            if (rise > 0.0 && rng_.uniform() >= std::exp(-rise / temperature)) continue;
            state_.accept();
            for (CurveFit& fit : fits_) fit.accept();
            current = next;
            ++out.accepted[kind];
            if (++since_refresh == kRefreshEvery) {
                since_refresh = 0;
                for (CurveFit& fit : fits_) fit.refresh(state_.counts());
                current = cost();
            }
        }
        for (CurveFit& fit : fits_) fit.refresh(state_.counts());
        current = cost();
        record(trial);
        if (progress) lower(progress->best, std::sqrt(current));
        out.rw_total = std::sqrt(current);
        for (const CurveFit& fit : fits_) {
            out.rw.push_back(std::sqrt(fit.agreement().rw2()));
            out.scale.push_back(fit.agreement().scale());
        }
        out.species.resize(state_.size());
        out.frac.resize(state_.size());
        for (std::uint32_t s = 0; s < state_.size(); ++s) {
            out.species[s] = state_.species(s);
            out.frac[s] = state_.frac(s);
        }
        out.counts = state_.counts();
        out.seconds = seconds_since(start);
        return out;
    }

private:
    static void lower(std::atomic<double>& value, double candidate) {
        double seen = value.load();
        while (candidate < seen && !value.compare_exchange_weak(seen, candidate)) {
        }
    }

    SpeciesOf species_of() const { return {state_}; }

    double cost() const {
        double sum = 0.0;
        for (const CurveFit& fit : fits_) sum += fit.importance() * fit.agreement().rw2();
        return sum / total_importance_;
    }

    double trial_cost() {
        double sum = 0.0;
        for (CurveFit& fit : fits_) sum += fit.importance() * fit.trial(state_).rw2();
        return sum / total_importance_;
    }

    // Half the mean rise over trial moves from the start (none made).
    double warm_up() {
        double rise = 0.0;
        int rises = 0;
        const double now = cost();
        for (int k = 0; k < kWarmUpTrials && !kinds_.empty(); ++k) {
            MoveKind kind;
            if (!propose(kind) || !state_.trial(change_, settings_.min_distance2)) continue;
            const double change = trial_cost() - now;
            if (change > 0.0) {
                rise += change;
                ++rises;
            }
        }
        return rises == 0 ? 1e-9 : 0.5 * rise / rises;
    }

    // Sizes here are site counts, which the model keeps below 2^32.
    std::uint32_t draw(std::size_t k) { return rng_.below(static_cast<std::uint32_t>(k)); }

    bool propose(MoveKind& kind) {
        kind = static_cast<MoveKind>(kinds_[kinds_.size() == 1 ? 0 : draw(kinds_.size())]);
        change_.clear();
        switch (kind) {
            case kSwap: return propose_swap();
            case kUnit: return propose_unit();
            default: return propose_displacement();
        }
    }

    bool propose_swap() {
        const std::size_t at = static_cast<std::size_t>(
            std::upper_bound(swap_sizes_.begin(), swap_sizes_.end(), draw(swap_sizes_.back())) - swap_sizes_.begin());
        const std::vector<std::uint32_t>& pool = model_.pools[swap_pools_[at]];
        const std::uint32_t i = pool[draw(pool.size())];
        for (int tries = 0; tries < kDrawTries; ++tries) {
            const std::uint32_t j = pool[draw(pool.size())];
            if (state_.species(j) == state_.species(i)) continue;
            change_.push_back({i, state_.species(j), state_.frac(i)});
            change_.push_back({j, state_.species(i), state_.frac(j)});
            return true;
        }
        return false;
    }

    // Two copies of one unit trade their alternatives.
    bool propose_unit() {
        const std::vector<UnitCopy>& copies = model_.unit_pools[unit_pools_[draw(unit_pools_.size())]];
        const UnitCopy& first = copies[draw(copies.size())];
        const std::size_t a = chosen_alternative(first, species_of());
        for (int tries = 0; tries < kDrawTries; ++tries) {
            const UnitCopy& second = copies[draw(copies.size())];
            const std::size_t b = chosen_alternative(second, species_of());
            if (a == b) continue;
            set_alternative(first, a, b);
            set_alternative(second, b, a);
            return true;
        }
        return false;
    }

    void set_alternative(const UnitCopy& copy, std::size_t from, std::size_t to) {
        if (from < copy.alternatives.size())
            for (const UnitSite& site : copy.alternatives[from])
                change_.push_back({site.site, kVacancy, state_.frac(site.site)});
        if (to < copy.alternatives.size())
            for (const UnitSite& site : copy.alternatives[to])
                change_.push_back({site.site, site.species, state_.frac(site.site)});
    }

    bool propose_displacement() {
        for (int tries = 0; tries < kDrawTries; ++tries) {
            const std::uint32_t site = draw(state_.size());
            if (state_.species(site) == kVacancy) continue;
            Vec3 step;
            do {
                for (double& x : step) x = (2.0 * rng_.uniform() - 1.0) * settings_.max_step;
            } while (norm2(step) > settings_.max_step * settings_.max_step);
            Vec3 frac = state_.frac(site);
            for (int j = 0; j < 3; ++j)
                for (int i = 0; i < 3; ++i) frac[j] += step[i] * inverse_[i][j];
            change_.push_back({site, state_.species(site), frac});
            return true;
        }
        return false;
    }

    const BigBoxModel& model_;
    const RefineSettings& settings_;
    PairState state_;
    std::vector<CurveFit> fits_;
    order::ChainRng rng_;
    std::uint64_t replica_;
    Mat3 inverse_{};
    double total_importance_ = 0.0;
    std::vector<std::size_t> swap_pools_, swap_sizes_;  // pools with two species; running sum of their sizes
    std::vector<std::size_t> unit_pools_;               // unit pools whose copies differ
    std::vector<std::size_t> kinds_;                    // the kinds of move this model allows
    std::vector<SiteChange> change_;
};

}  // namespace

Result<std::vector<ReplicaOutcome>> refine(const BigBoxModel& model, const std::vector<CurveData>& data,
                                           const RefineSettings& settings, ThreadPool* pool, std::stop_token stop,
                                           RefineProgress* progress) {
    if (!settings.iterations && !settings.time_limit) return fail("give a time limit or a number of iterations");
    if (data.empty()) return fail("give at least one data set");
    if (settings.displace && !(settings.max_step > 0.0 && std::isfinite(settings.max_step)))
        return fail("max_step must be a positive distance");
    const std::size_t m = model.sites.n_species;
    if (!settings.min_distance2.empty() && settings.min_distance2.size() != m * m)
        return fail("min_distance needs a value per species pair");
    // One state and its fits are built here and copied per replica: the
    // first recount is the costly part of a short run.
    Result<PairState> state = PairState::make(model.sites, settings.bin, settings.n_bins);
    if (!state) return state.take_error();
    if (!settings.displace && settings.min_distance2.empty()) state->list_pairs(kMostListedPairs);
    std::vector<CurveFit> fits;
    for (const CurveData& curve : data) {
        Result<CurveFit> fit = CurveFit::make(curve, n_pairs(m), settings.n_bins);
        if (!fit) return fit.take_error();
        fits.push_back(std::move(*fit));
    }
    const Clock::time_point start = Clock::now();
    std::vector<ReplicaOutcome> outcomes(settings.replicas.size());
    for_each_chunk(pool, settings.replicas.size(), [&](std::size_t r) {
        std::vector<CurveFit> own = fits;
        for (std::size_t d = 0; d < own.size(); ++d)
            own[d].resample(replica_seed(settings.seed ^ (0xD1B54A32D192ED03ULL * (d + 1)), settings.replicas[r]));
        Chain chain(model, settings, *state, std::move(own), settings.replicas[r]);
        outcomes[r] = chain.run(start, stop, progress);
    });
    if (stop.stop_requested()) return fail("interrupted");
    return outcomes;
}

Result<std::vector<ReplicaOutcome>> refine_with_threads(const BigBoxModel& model, const std::vector<CurveData>& data,
                                                        const RefineSettings& settings, std::uint64_t n_threads,
                                                        std::stop_token stop, RefineProgress* progress) {
    if (n_threads == 0) {
        Result<ThreadPool*> pool = default_pool();
        if (!pool) return pool.take_error();
        return refine(model, data, settings, *pool, std::move(stop), progress);
    }
    const std::size_t workers = static_cast<std::size_t>(std::min<std::uint64_t>(n_threads, kMaxWorkers));
    Result<std::unique_ptr<ThreadPool>> pool = ThreadPool::start(workers, n_threads);
    if (!pool) return pool.take_error();
    Result<std::vector<ReplicaOutcome>> out = refine(model, data, settings, pool->get(), std::move(stop), progress);
    pool->reset();
    return out;
}

}  // namespace kestrel::bigbox
