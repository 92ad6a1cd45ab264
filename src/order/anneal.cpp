#include "order/anneal.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "expand/rng.hpp"
#include "order/chain_rng.hpp"
#include "parallel/chunks.hpp"

namespace kestrel::order {
namespace {

using Clock = std::chrono::steady_clock;

// Seeds of different chains far apart in the generator's state space.
std::uint64_t chain_seed(std::uint64_t seed, std::size_t chain) {
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (chain + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

struct ChainOutcome {
    std::vector<std::vector<std::uint8_t>> best;
    double objective = 0.0;
    std::uint64_t trials = 0;
    std::vector<TracePoint> trace;
};

// Below this the objective counts as zero: every alpha met exactly, up to
// the rounding of the running sum.
constexpr double kZero = 1e-9;
// The schedule cools from T0 to T0 * kCooling (a hundredth: colder gains
// nothing, the last stretch then only waits for rare uphill moves).
constexpr double kCooling = 1e-2;

class Chain {
public:
    Chain(const std::vector<SublatticeProblem>& problems, const AnnealSettings& settings, std::size_t index)
        : problems_(problems), settings_(settings), rng_(chain_seed(settings.seed, index)) {
        std::uint64_t state = rng_.next();
        states_.reserve(problems.size());
        for (const SublatticeProblem& problem : problems) {
            states_.emplace_back(problem, random_fill(problem.counts, state));
            total_ += static_cast<std::uint32_t>(states_.back().size());
            cumulative_.push_back(total_);
        }
    }

    ChainOutcome run(Clock::time_point start, const std::stop_token& stop, AnnealProgress* progress,
                     std::atomic<bool>* someone_reached_zero) {
        ChainOutcome out;
        double current = sum_objective();
        keep_best(out, current);
        out.trace.push_back({elapsed_since(start), 0, current});
        if (progress) lower(progress->best, current);
        const double t0 = initial_temperature();
        double temperature = t0;
        std::uint64_t recorded = 0;
        const auto elapsed = [&] { return elapsed_since(start); };
        const std::uint64_t limit = settings_.iterations.value_or(UINT64_MAX);
        for (std::uint64_t trial = 0; trial < limit && out.objective > kZero; ++trial) {
            if ((trial & 255) == 0) {
                if (stop.stop_requested()) break;
                if (someone_reached_zero && someone_reached_zero->load(std::memory_order_relaxed)) break;
                double fraction = 0.0;
                if (settings_.iterations)
                    fraction = static_cast<double>(trial) / static_cast<double>(*settings_.iterations);
                if (settings_.time_limit) fraction = std::max(fraction, elapsed() / *settings_.time_limit);
                if (fraction >= 1.0) break;
                temperature = t0 * std::pow(kCooling, fraction);
                if (trial != 0 && progress) progress->trials.fetch_add(256, std::memory_order_relaxed);
                if ((trial & ((1u << 16) - 1)) == 0 && trial != 0) current = refresh();
            }
            out.trials = trial + 1;
            SwapState& state = pick_state();
            std::uint32_t i, j;
            pick_pair(state, i, j);
            const double change = state.trial(i, j);
            if (change > 0.0 && rng_.uniform() >= std::exp(-change / temperature)) continue;
            state.accept();
            current += change;
            if (current < out.objective - 1e-12) {
                // A zero must hold without the running sum's rounding.
                if (current <= kZero) current = refresh();
                keep_best(out, current);
                if (trial - recorded >= 512 || current <= kZero) {
                    recorded = trial;
                    out.trace.push_back({elapsed(), out.trials, current});
                    if (progress) lower(progress->best, current);
                }
            }
        }
        out.objective = exact_objective(out.best);
        out.trace.push_back({elapsed(), out.trials, out.objective});
        if (progress) lower(progress->best, out.objective);
        if (out.objective <= kZero && someone_reached_zero) someone_reached_zero->store(true);
        return out;
    }

private:
    static double elapsed_since(Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    static void lower(std::atomic<double>& value, double candidate) {
        double seen = value.load();
        while (candidate < seen && !value.compare_exchange_weak(seen, candidate)) {
        }
    }

    double exact_objective(const std::vector<std::vector<std::uint8_t>>& species) const {
        double sum = 0.0;
        for (std::size_t p = 0; p < problems_.size(); ++p) sum += SwapState(problems_[p], species[p]).objective();
        return sum;
    }

    double sum_objective() const {
        double sum = 0.0;
        for (const SwapState& state : states_) sum += state.objective();
        return sum;
    }

    double refresh() {
        double sum = 0.0;
        for (SwapState& state : states_) sum += state.refresh();
        return sum;
    }

    void keep_best(ChainOutcome& out, double objective) {
        out.objective = objective;
        out.best.resize(states_.size());
        for (std::size_t p = 0; p < states_.size(); ++p) out.best[p] = states_[p].species();
    }

    SwapState& pick_state() {
        if (states_.size() == 1) return states_.front();
        const std::uint32_t at = rng_.below(total_);
        return states_[static_cast<std::size_t>(std::upper_bound(cumulative_.begin(), cumulative_.end(), at) -
                                                cumulative_.begin())];
    }

    // Two members of different species, uniformly among such pairs.
    void pick_pair(const SwapState& state, std::uint32_t& i, std::uint32_t& j) {
        const auto n = static_cast<std::uint32_t>(state.size());
        i = rng_.below(n);
        do j = rng_.below(n);
        while (state.species()[j] == state.species()[i]);
    }

    // About the mean rise of a trial swap from the random start, so early
    // on most uphill swaps pass and the chain roams freely.
    double initial_temperature() {
        double rise = 0.0;
        int rises = 0;
        for (int k = 0; k < 256; ++k) {
            SwapState& state = pick_state();
            std::uint32_t i, j;
            pick_pair(state, i, j);
            const double change = state.trial(i, j);
            if (change > 0.0) {
                rise += change;
                ++rises;
            }
        }
        return rises == 0 ? 1e-3 : 0.5 * rise / rises;
    }

    const std::vector<SublatticeProblem>& problems_;
    const AnnealSettings& settings_;
    ChainRng rng_;
    std::vector<SwapState> states_;
    std::vector<std::uint32_t> cumulative_;  // members of sublattices 0..p, for picking one by size
    std::uint32_t total_ = 0;
};

// The best-so-far of all chains over time, from the chains' own traces.
std::vector<TracePoint> merge_traces(const std::vector<ChainOutcome>& outcomes) {
    std::vector<TracePoint> points;
    for (const ChainOutcome& outcome : outcomes)
        points.insert(points.end(), outcome.trace.begin(), outcome.trace.end());
    std::sort(points.begin(), points.end(),
              [](const TracePoint& x, const TracePoint& y) { return x.seconds < y.seconds; });
    std::vector<TracePoint> merged;
    for (const TracePoint& point : points)
        if (merged.empty() || point.objective < merged.back().objective) merged.push_back(point);
    if (!points.empty() && merged.back().seconds < points.back().seconds)
        merged.push_back({points.back().seconds, points.back().trials, merged.back().objective});
    return merged;
}

}  // namespace

std::vector<std::uint8_t> random_fill(const std::vector<std::uint64_t>& counts, std::uint64_t& state) {
    std::vector<std::uint8_t> species;
    for (std::size_t t = 0; t < counts.size(); ++t)
        species.insert(species.end(), counts[t], static_cast<std::uint8_t>(t));
    expand::ExpansionRng rng(state);
    for (std::size_t k = species.size(); k >= 2; --k) std::swap(species[k - 1], species[rng.below(k)]);
    state = rng.next();
    return species;
}

Result<AnnealResult> anneal(const std::vector<SublatticeProblem>& problems, const AnnealSettings& settings,
                            ThreadPool* pool, std::stop_token stop, AnnealProgress* progress) {
    if (problems.empty()) return fail("there is nothing to arrange");
    if (!settings.time_limit && !settings.iterations) return fail("give a time limit or a number of iterations");
    const std::size_t n_chains = std::max<std::size_t>(settings.chains, 1);
    const Clock::time_point start = Clock::now();
    // Chains that run on time alone may all stop once one has met the
    // target exactly; a run bounded by iterations keeps every chain to its
    // own course, so that it reproduces.
    std::atomic<bool> reached_zero{false};
    std::atomic<bool>* shared_zero = settings.iterations ? nullptr : &reached_zero;
    std::vector<ChainOutcome> outcomes(n_chains);
    for_each_chunk(pool, n_chains, [&](std::size_t c) {
        Chain chain(problems, settings, c);
        outcomes[c] = chain.run(start, stop, progress, shared_zero);
    });
    if (stop.stop_requested()) return fail("interrupted");

    std::size_t winner = 0;
    for (std::size_t c = 1; c < n_chains; ++c)
        if (outcomes[c].objective < outcomes[winner].objective) winner = c;
    AnnealResult result;
    result.species = std::move(outcomes[winner].best);
    result.objective = outcomes[winner].objective;
    result.trials = 0;
    for (const ChainOutcome& outcome : outcomes) result.trials += outcome.trials;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.chains = n_chains;
    result.trace = merge_traces(outcomes);
    return result;
}

}  // namespace kestrel::order
