// The big-box model's per-move updates against counts made from scratch:
// swaps, exchanges of several sites at once (unit alternatives),
// displacements that leave their cell or the supercell, and the model
// curve's running agreement against one summed anew.
#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "bigbox/pair_state.hpp"
#include "bigbox/profile_fit.hpp"
#include "bigbox/refine.hpp"
#include "expand/rng.hpp"

using namespace kestrel;
using namespace kestrel::bigbox;

namespace {

struct Draw {
    expand::ExpansionRng rng;
    double unit() { return static_cast<double>(rng.next() >> 11) * 0x1.0p-53; }
    std::uint32_t below(std::size_t k) { return static_cast<std::uint32_t>(rng.next() % k); }
};

// A skewed cell with irregular positions, three species and vacancies.
ModelSites irregular_sites(std::uint64_t seed, std::size_t n, const Mat3& lattice) {
    Draw draw{expand::ExpansionRng(seed)};
    ModelSites sites;
    sites.lattice = lattice;
    sites.n_species = 3;
    for (std::size_t k = 0; k < n; ++k) {
        sites.frac.push_back({draw.unit(), draw.unit(), draw.unit()});
        const std::uint32_t t = draw.below(4);
        sites.species.push_back(t == 3 ? kVacancy : static_cast<std::uint8_t>(t));
    }
    return sites;
}

ModelSites current_sites(const PairState& state, std::size_t n_species) {
    ModelSites sites;
    sites.lattice = state.lattice();
    sites.n_species = n_species;
    for (std::uint32_t s = 0; s < state.size(); ++s) {
        sites.frac.push_back(state.frac(s));
        sites.species.push_back(state.species(s));
    }
    return sites;
}

// Every ordered pair over every image within the reach, the slow way.
std::vector<std::int32_t> brute_counts(const ModelSites& sites, double bin, std::size_t n_bins) {
    std::vector<std::int32_t> counts(n_pairs(sites.n_species) * n_bins, 0);
    const double reach = bin * static_cast<double>(n_bins);
    const Mat3& m = sites.lattice;
    const auto cart = [&](const Vec3& f) {
        return Vec3{f[0] * m[0][0] + f[1] * m[1][0] + f[2] * m[2][0], f[0] * m[0][1] + f[1] * m[1][1] + f[2] * m[2][1],
                    f[0] * m[0][2] + f[1] * m[1][2] + f[2] * m[2][2]};
    };
    const int span = 6;
    for (std::size_t i = 0; i < sites.frac.size(); ++i)
        for (std::size_t k = 0; k < sites.frac.size(); ++k) {
            if (sites.species[i] == kVacancy || sites.species[k] == kVacancy) continue;
            for (int x = -span; x <= span; ++x)
                for (int y = -span; y <= span; ++y)
                    for (int z = -span; z <= span; ++z) {
                        if (i == k && x == 0 && y == 0 && z == 0) continue;
                        const Vec3 d = separation(cart(sites.frac[i]), cart(sites.frac[k]), translation(m, x, y, z));
                        const double r = std::sqrt(norm2(d));
                        if (r >= reach) continue;
                        const std::size_t b = static_cast<std::size_t>(r / bin);
                        if (b < n_bins)
                            ++counts[pair_index(sites.species[i], sites.species[k], sites.n_species) * n_bins + b];
                    }
        }
    return counts;
}

// Makes the trial move on both, and checks the curve's running agreement
// and model against one summed anew from the counts.
void accept_and_compare(PairState& state, CurveFit& fit, const CurveData& curve, std::size_t n_bins) {
    const Agreement next = fit.trial(state);
    state.accept();
    fit.accept();
    CurveFit fresh = CurveFit::make(curve, n_pairs(3), n_bins).value();
    fresh.refresh(state.counts());
    CHECK(next.mm == doctest::Approx(fresh.agreement().mm).epsilon(1e-9));
    CHECK(next.md == doctest::Approx(fresh.agreement().md).epsilon(1e-9));
    for (std::size_t j = 0; j < fit.model().size(); j += 13)
        CHECK(fit.model()[j] == doctest::Approx(fresh.model()[j]).epsilon(1e-9));
}

const Mat3 kSkewed{{{7.0, 0.0, 0.0}, {1.8, 6.5, 0.0}, {-1.2, 0.9, 7.5}}};

}  // namespace

TEST_SUITE("bigbox") {
    TEST_CASE("the first count equals a brute-force count over all images, the reach wider than the cell") {
        const ModelSites sites = irregular_sites(3, 30, kSkewed);
        const PairState state = PairState::make(sites, 0.05, 240).value();  // reach 12 A in a 7 A cell
        const std::vector<std::int32_t> brute = brute_counts(sites, 0.05, 240);
        // A distance within a few ulps of a bin edge may fall either way when
        // the sum is formed differently; none does here, so the two agree exactly.
        CHECK(state.counts() == brute);
    }

    TEST_CASE("every accepted move's update equals a fresh recount") {
        for (std::uint64_t seed : {1u, 2u, 3u}) {
            const ModelSites sites = irregular_sites(seed, 60, kSkewed);
            PairState state = PairState::make(sites, 0.02, 500).value();
            Draw draw{expand::ExpansionRng(seed + 100)};
            for (int move = 0; move < 60; ++move) {
                std::vector<SiteChange> change;
                const int kind = move % 3;
                if (kind == 0) {  // a swap, vacancies included
                    const std::uint32_t i = draw.below(state.size()), j = draw.below(state.size());
                    if (i == j) continue;
                    change.push_back({i, state.species(j), state.frac(i)});
                    change.push_back({j, state.species(i), state.frac(j)});
                } else if (kind == 1) {  // several sites change species at once, as a unit alternative does
                    for (int k = 0; k < 4; ++k) {
                        const std::uint32_t i = draw.below(state.size());
                        bool seen = false;
                        for (const SiteChange& c : change) seen = seen || c.site == i;
                        if (seen) continue;
                        const std::uint32_t t = draw.below(4);
                        change.push_back({i, t == 3 ? kVacancy : static_cast<std::uint8_t>(t), state.frac(i)});
                    }
                } else {  // a displacement, large enough to leave its cell and the supercell
                    const std::uint32_t i = draw.below(state.size());
                    Vec3 frac = state.frac(i);
                    for (double& x : frac) x += (draw.unit() - 0.5) * 0.6;
                    change.push_back({i, state.species(i), frac});
                    if (move % 2 == 0) {  // and one that moves and changes species together
                        const std::uint32_t j = draw.below(state.size());
                        if (j != i) change.push_back({j, static_cast<std::uint8_t>(draw.below(3)), state.frac(j)});
                    }
                }
                const std::vector<std::int32_t> before = state.counts();
                REQUIRE(state.trial(change, {}));
                if (move % 5 == 4) continue;  // a rejected trial leaves no trace
                state.accept();
                const PairState fresh = PairState::make(current_sites(state, 3), 0.02, 500).value();
                REQUIRE(state.counts() == fresh.counts());
            }
            CHECK(state.counts() == brute_counts(current_sites(state, 3), 0.02, 500));
        }
    }

    TEST_CASE("swaps read from the listed pairs equal a recount, and a displacement drops the lists") {
        const ModelSites sites = irregular_sites(4, 60, kSkewed);
        PairState state = PairState::make(sites, 0.02, 500).value();
        REQUIRE(state.list_pairs(1u << 20));
        CHECK_FALSE(PairState::make(sites, 0.02, 500).value().list_pairs(10));  // over the budget
        Draw draw{expand::ExpansionRng(17)};
        for (int move = 0; move < 80; ++move) {
            std::vector<SiteChange> change;
            const std::uint32_t i = draw.below(state.size()), j = draw.below(state.size());
            if (i == j) continue;
            if (move == 40) {  // one displacement; the swaps after it sweep the grid
                Vec3 frac = state.frac(i);
                frac[0] += 0.2;
                change.push_back({i, state.species(i), frac});
            } else {
                change.push_back({i, state.species(j), state.frac(i)});
                change.push_back({j, state.species(i), state.frac(j)});
            }
            REQUIRE(state.trial(change, {}));
            state.accept();
            REQUIRE(state.counts() == PairState::make(current_sites(state, 3), 0.02, 500).value().counts());
        }
    }

    TEST_CASE("a displacement into a minimum-distance window is refused and changes nothing") {
        ModelSites sites;
        sites.lattice = {{{10.0, 0, 0}, {0, 10.0, 0}, {0, 0, 10.0}}};
        sites.n_species = 2;
        sites.frac = {{0.1, 0.1, 0.1}, {0.5, 0.5, 0.5}};
        sites.species = {0, 1};
        PairState state = PairState::make(sites, 0.05, 100).value();
        std::vector<double> min2(4, 0.0);
        min2[0 * 2 + 1] = min2[1 * 2 + 0] = 2.0 * 2.0;
        const std::vector<std::int32_t> before = state.counts();
        CHECK_FALSE(state.trial({{0, 0, {0.35, 0.5, 0.5}}}, min2));  // 1.5 A from the other
        CHECK(state.trial({{0, 0, {0.25, 0.5, 0.5}}}, min2));        // 2.5 A
        CHECK(state.counts() == before);
    }

    TEST_CASE("the running agreement of a curve equals one summed from the counts") {
        const ModelSites sites = irregular_sites(9, 50, kSkewed);
        const double bin = 0.01;
        const std::size_t n_bins = 700;
        PairState state = PairState::make(sites, bin, n_bins).value();
        CurveData curve;
        curve.first = 100;  // r from 1 A in steps of 0.02 A
        curve.step = 0.02;
        curve.oversample = 2;
        Draw draw{expand::ExpansionRng(5)};
        for (int j = 0; j < 250; ++j) {
            curve.data.push_back(std::sin(0.7 * j) + 0.3);
            curve.weight.push_back(1.0 + 0.1 * (j % 3));
            curve.factor.push_back(1.0 / (1.0 + 0.02 * j));
            curve.baseline.push_back(-0.01 * j);
        }
        curve.centre = 40;
        for (std::size_t p = 0; p < n_pairs(3); ++p) {
            std::vector<double> profile;
            for (int q = 0; q < 81; ++q)
                profile.push_back(std::exp(-0.5 * std::pow((q - 40.5) * bin / (0.05 + 0.01 * p), 2)));
            curve.profile.push_back(profile);
        }
        CurveFit fit = CurveFit::make(curve, n_pairs(3), n_bins).value();
        fit.refresh(state.counts());
        for (int move = 0; move < 40; ++move) {
            const std::uint32_t i = draw.below(state.size());
            Vec3 frac = state.frac(i);
            for (double& x : frac) x += (draw.unit() - 0.5) * 0.05;
            REQUIRE(state.trial({{i, static_cast<std::uint8_t>(draw.below(3)), frac}}, {}));
            accept_and_compare(state, fit, curve, n_bins);
        }
    }

    TEST_CASE("the running agreement of a curve in Q equals one summed from the counts") {
        for (const double spacing : {0.05, 0.0}) {  // an even grid of Q, and an uneven one
            const ModelSites sites = irregular_sites(11, 50, kSkewed);
            const double bin = 0.01;
            const std::size_t n_bins = 600;
            PairState state = PairState::make(sites, bin, n_bins).value();
            CurveData curve;
            curve.bin = bin;
            for (int j = 0; j < 120; ++j) {
                const double q = spacing > 0 ? 0.5 + spacing * j : 0.5 + 0.05 * j + 0.01 * std::sin(j);
                curve.q.push_back(q);
                curve.data.push_back(std::sin(2.5 * q) / q);
                curve.weight.push_back(1.0 + 0.2 * (j % 2));
                curve.factor.push_back(1.0);
                curve.baseline.push_back(0.1 * std::cos(q));
            }
            for (std::size_t p = 0; p < n_pairs(3); ++p) {
                std::vector<double> weights;
                for (double q : curve.q) weights.push_back((1.0 + 0.3 * p) * std::exp(-0.003 * q * q));
                curve.pair_q.push_back(weights);
            }
            for (std::size_t b = 0; b < n_bins; ++b) curve.taper.push_back(b < 400 ? 1.0 : (600.0 - b) / 200.0);
            CurveFit fit = CurveFit::make(curve, n_pairs(3), n_bins).value();
            fit.refresh(state.counts());
            Draw draw{expand::ExpansionRng(8)};
            for (int move = 0; move < 30; ++move) {
                const std::uint32_t i = draw.below(state.size()), j = draw.below(state.size());
                std::vector<SiteChange> change;
                if (move % 2 == 0 && i != j) {  // a swap
                    change.push_back({i, state.species(j), state.frac(i)});
                    change.push_back({j, state.species(i), state.frac(j)});
                } else {
                    Vec3 frac = state.frac(i);
                    for (double& x : frac) x += (draw.unit() - 0.5) * 0.05;
                    change.push_back({i, state.species(i), frac});
                }
                REQUIRE(state.trial(change, {}));
                accept_and_compare(state, fit, curve, n_bins);
            }
            // The model is the transform its definition gives, summed here the slow way.
            for (std::size_t k = 0; k < curve.q.size(); k += 29) {
                double expected = curve.baseline[k];
                for (std::size_t at = 0; at < state.counts().size(); ++at) {
                    const std::size_t p = at / n_bins, b = at % n_bins;
                    const double r = (b + 0.5) * bin;
                    expected += state.counts()[at] * curve.pair_q[p][k] * curve.taper[b] * std::sin(curve.q[k] * r) / r;
                }
                CHECK(fit.model()[k] == doctest::Approx(expected).epsilon(1e-9));
            }
        }
    }
}
