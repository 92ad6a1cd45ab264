// The per-swap updates of the short-range-order search against counts made
// from scratch, and the chains' reproducibility.
#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "expand/rng.hpp"
#include "order/anneal.hpp"
#include "order/pair_counts.hpp"
#include "order/swap_state.hpp"

using namespace kestrel;
using namespace kestrel::order;

namespace {

// Irregular positions in a skewed cell: coordination differs from site to
// site, so swaps move whole rows of alpha, not just single entries.
SublatticeProblem irregular_problem(std::uint64_t seed, std::size_t n_species) {
    expand::ExpansionRng rng(seed);
    const auto unit = [&] { return static_cast<double>(rng.next() >> 11) * 0x1.0p-53; };
    std::vector<Vec3> positions(40);
    for (Vec3& p : positions) p = {unit(), unit(), unit()};
    const Lattice lattice = make_lattice({{{9, 0, 0}, {1.5, 8, 0}, {0.5, 1, 10}}}).value();
    SublatticeProblem problem;
    problem.shells = neighbor_shells(lattice, positions, 3, 0.4, false).value();
    problem.n_species = n_species;
    problem.counts.assign(n_species, positions.size() / n_species);
    problem.counts[0] += positions.size() % n_species;
    problem.terms.weights = {1.0, 0.5, 1.0 / 3.0};
    problem.terms.target.assign(3 * n_species * n_species, 0.0);
    problem.terms.target[0 * n_species + 1] = problem.terms.target[1 * n_species + 0] = -0.2;
    return problem;
}

}  // namespace

TEST_SUITE("order") {
    TEST_CASE("trial changes and accepted swaps agree with a fresh count") {
        for (std::uint64_t seed : {1u, 2u, 3u}) {
            const SublatticeProblem problem = irregular_problem(seed, 3);
            std::uint64_t state = seed;
            SwapState swaps(problem, random_fill(problem.counts, state));
            expand::ExpansionRng rng(seed + 10);
            for (int step = 0; step < 2000; ++step) {
                const auto i = static_cast<std::uint32_t>(rng.below(swaps.size()));
                const auto j = static_cast<std::uint32_t>(rng.below(swaps.size()));
                if (swaps.species()[i] == swaps.species()[j]) continue;
                const double before = swaps.objective();
                const double change = swaps.trial(i, j);
                if (step % 3 == 0) continue;  // rejected: nothing may change
                swaps.accept();
                std::vector<std::uint8_t> species = swaps.species();
                SwapState fresh(problem, species);
                REQUIRE(std::fabs(before + change - fresh.objective()) < 1e-9);
                REQUIRE(std::fabs(swaps.objective() - fresh.objective()) < 1e-9);
            }
            const PairCounts counts = count_pairs(problem.shells, swaps.species(), problem.n_species);
            for (std::size_t t = 0; t < problem.n_species; ++t) CHECK(counts.species_count[t] == problem.counts[t]);
        }
    }

    TEST_CASE("a run bounded by iterations reproduces, on a pool or not") {
        const std::vector<SublatticeProblem> problems{irregular_problem(7, 4)};
        AnnealSettings settings;
        settings.iterations = 20000;
        settings.seed = 11;
        settings.chains = 3;
        const AnnealResult first = anneal(problems, settings, nullptr, {}, nullptr).value();
        std::unique_ptr<ThreadPool> pool = std::move(ThreadPool::start(2, 2).value());
        const AnnealResult again = anneal(problems, settings, pool.get(), {}, nullptr).value();
        CHECK(first.species == again.species);
        CHECK(first.objective == again.objective);
        CHECK(first.trials == 3 * 20000);
    }

    TEST_CASE("a site meeting its own image within the shells is refused") {
        const Lattice lattice = make_lattice({{{3, 0, 0}, {0, 3, 0}, {0, 0, 3}}}).value();
        const auto shells = neighbor_shells(lattice, {{0, 0, 0}, {0.5, 0.5, 0.5}}, 2, 0.01, false);
        REQUIRE_FALSE(shells.ok());
        CHECK(shells.error().message ==
              "the supercell is too small for 2 shells: a site meets its own image at 3.0000 A, within shell 2; use "
              "a larger supercell");
    }
}
