// The site pairs of a refinement: every pair within the reach against a
// search written out over a box of translations, on skewed cells and with
// coordinates outside the cell; the grouping by a centre of symmetry; the
// same table on one thread and on a pool.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "parallel/pool.hpp"
#include "scattering/site_pairs.hpp"

using namespace kestrel;

namespace {

using PairKey = std::tuple<std::int64_t, std::int64_t, int, int, int>;

std::set<PairKey> written_out(const Lattice& lattice, const std::vector<Vec3>& frac, double reach) {
    std::set<PairKey> out;
    const int span = 8;  // the cells below are at least 3 Å wide, coordinates within [-1, 2)
    for (std::size_t i = 0; i < frac.size(); ++i)
        for (std::size_t j = 0; j < frac.size(); ++j)
            for (int a = -span; a <= span; ++a)
                for (int b = -span; b <= span; ++b)
                    for (int c = -span; c <= span; ++c) {
                        const Vec3 shift{{double(a), double(b), double(c)}};
                        const double d = length(lattice.to_cartesian(frac[j] + shift - frac[i]));
                        if (d <= reach && d * d > 1e-16) out.insert({std::int64_t(i), std::int64_t(j), a, b, c});
                    }
    return out;
}

Lattice skewed(std::mt19937_64& random) {
    std::uniform_real_distribution<double> edge(3.5, 5.0), tilt(-1.2, 1.2);
    Mat3 m{};
    for (int k = 0; k < 3; ++k) m[k][k] = edge(random);
    m[1][0] = tilt(random), m[2][0] = tilt(random), m[2][1] = tilt(random);
    return *make_lattice(m);
}

}  // namespace

TEST_CASE("every pair within the reach, with its translation, on skewed cells, alone and on a pool") {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> where(-1.0, 2.0);
    Result<std::unique_ptr<ThreadPool>> pool = ThreadPool::start(3, 3);
    REQUIRE(pool);
    for (int trial = 0; trial < 4; ++trial) {
        const Lattice lattice = skewed(random);
        std::vector<Vec3> frac(static_cast<std::size_t>(1 + trial));
        for (Vec3& f : frac) f = {{where(random), where(random), where(random)}};
        const std::set<PairKey> expected = written_out(lattice, frac, 6.0);
        for (ThreadPool* on : {static_cast<ThreadPool*>(nullptr), pool->get()}) {
            Result<SitePairTable> table = find_site_pairs(lattice, frac, 6.0, nullptr, on);
            REQUIRE(table);
            std::set<PairKey> found;
            for (std::size_t k = 0; k < table->count.size(); ++k) {
                CHECK(table->count[k] == 1.0);
                found.insert(
                    {table->site_i[k], table->site_j[k], table->shift[k][0], table->shift[k][1], table->shift[k][2]});
            }
            CHECK(found.size() == table->count.size());
            CHECK(found == expected);
        }
    }
}

TEST_CASE("a centre of symmetry groups each pair with its inverse and counts both sites of the orbit") {
    std::mt19937_64 random(3);
    const Lattice lattice = skewed(random);
    // Site 1 is the inverse of site 0 through the origin: one orbit of two sites under P-1.
    const std::vector<Vec3> frac{{{0.13, 0.21, 0.34}}, {{-0.13, -0.21, -0.34}}};
    const std::vector<Mat3> rotations{Mat3{{{{1, 0, 0}}, {{0, 1, 0}}, {{0, 0, 1}}}},
                                      Mat3{{{{-1, 0, 0}}, {{0, -1, 0}}, {{0, 0, -1}}}}};
    const std::vector<Vec3> translations{{{0, 0, 0}}, {{0, 0, 0}}};
    const std::vector<std::int64_t> orbit{0, 0};
    const PairSymmetry symmetry{rotations, translations, orbit};
    Result<SitePairTable> grouped = find_site_pairs(lattice, frac, 7.0, &symmetry, nullptr);
    REQUIRE(grouped);
    const std::set<PairKey> every = written_out(lattice, frac, 7.0);
    double counted = 0.0;
    for (std::size_t k = 0; k < grouped->count.size(); ++k) {
        CHECK(grouped->site_i[k] == 0);
        counted += grouped->count[k];
    }
    CHECK(counted == double(every.size()));
    // Site 0 has no symmetry of its own, so its pairs stay apart: one group per pair from it, each counted twice.
    CHECK(grouped->count.size() * 2 == every.size());
}

TEST_CASE("site pairs refuse a reach, positions or orbits they cannot search") {
    const Lattice lattice = *make_lattice(Mat3{{{{3, 0, 0}}, {{0, 4, 0}}, {{0, 0, 5}}}});
    const std::vector<Vec3> frac{{{0, 0, 0}}, {{0.5, 0.5, 0.5}}};
    CHECK(!find_site_pairs(lattice, frac, 0.0, nullptr, nullptr));
    CHECK(!find_site_pairs(lattice, frac, INFINITY, nullptr, nullptr));
    const std::vector<Vec3> nan{{{NAN, 0, 0}}};
    CHECK(!find_site_pairs(lattice, nan, 3.0, nullptr, nullptr));
    const std::vector<Mat3> rotations{Mat3{{{{1, 0, 0}}, {{0, 1, 0}}, {{0, 0, 1}}}}};
    const std::vector<Vec3> translations{{{0, 0, 0}}};
    const std::vector<std::int64_t> not_itself{1, 0};
    const PairSymmetry bad{rotations, translations, not_itself};
    Result<SitePairTable> refused = find_site_pairs(lattice, frac, 3.0, &bad, nullptr);
    REQUIRE(!refused);
    CHECK(refused.error().message == "every site's representative must be a site that represents itself");
}
