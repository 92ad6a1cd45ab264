// Supercells and the occupancy expansion on odd inputs: overflowing counts,
// sizes beyond the limits, coordinates far outside the cell.
#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "expand/expand.hpp"
#include "model/supercell.hpp"

using namespace kestrel;
using kestrel::expand::expand_occupancies;

namespace {

Structure two_sites() {
    return make_structure(make_lattice({{{3, 0, 0}, {0, 4, 0}, {1, 0, 5}}}).value(),
                          {Site{{-0.25, 3.75, 1.0}, {{"Fe", 0.5}, {"Ni", 0.5}}}, Site{{0.5, 0.5, 0.5}, {{"O", 1.0}}}})
        .value();
}

}  // namespace

TEST_SUITE("supercell") {
    TEST_CASE("site order, unwrapped coordinates and the scaled lattice") {
        const Structure s = two_sites();
        auto big = make_supercell(s, 2, 1, 3);
        REQUIRE(big.ok());
        REQUIRE(big->n_sites() == 12);
        // (i, j, k, source site), i outermost; (x + i) / n, never wrapped.
        const Site& last = big->sites()[11];
        CHECK(last.frac[0] == doctest::Approx((0.5 + 1) / 2));
        CHECK(last.frac[2] == doctest::Approx((0.5 + 2) / 3));
        const Site& first = big->sites()[0];
        CHECK(first.frac[0] == -0.125);
        CHECK(first.frac[1] == 3.75);
        CHECK(first.species.size() == 2);
        CHECK(big->lattice().matrix()[2][0] == 3.0);
        CHECK(volume(*big) == doctest::Approx(6 * volume(s)));
    }

    TEST_CASE("counts that are zero, overflow or exceed the site limit are refused with a message") {
        const Structure s = two_sites();
        const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
        CHECK(make_supercell(s, 0, 1, 1).error().message == "supercell dimensions must be at least 1");
        CHECK(make_supercell(s, 1, 1, 0).error().message == "supercell dimensions must be at least 1");
        CHECK(
            make_supercell(s, 10000000, 10000000, 10000000).error().message ==
            "a 10000000x10000000x10000000 supercell of a 2-site structure would exceed the limit of 2147483647 sites");
        CHECK(make_supercell(s, max, max, max).error().message.find("would exceed the limit") != std::string::npos);
        CHECK(make_supercell(s, 4294967296, 4294967296, 1).error().message.find("would exceed the limit") !=
              std::string::npos);  // na * nb wraps to 0 in 64 bits
        // Within the site limit, but not within memory: refused before allocating.
        auto huge = make_supercell(s, 1000, 1000, 1000);
        REQUIRE_FALSE(huge.ok());
        CHECK(huge.error().message.find("supercell") != std::string::npos);
    }

    TEST_CASE("expansion refuses occupancies that are not finite or above 1, and an empty result") {
        auto lattice = make_lattice({{{4, 0, 0}, {0, 4, 0}, {0, 0, 4}}}).value();
        auto offset = make_structure(lattice, {Site{{0, 0, 0}, {{"A", 5.0}, {"B", -4.5}}}});
        if (offset.ok()) {
            auto result = expand_occupancies(*offset, 4096, 42, 16);
            REQUIRE_FALSE(result.ok());
            CHECK(result.error().message == "occupancy of A at site index 0 is 5.0000, above 1");
        }
        auto empty = make_structure(lattice, {Site{{0, 0, 0}, {{"A", 0.0}}}});
        REQUIRE(empty.ok());
        CHECK(expand_occupancies(*empty, 4096, 42, 16).error().message ==
              "no sites remain after expansion; check the occupancies");
        auto half = make_structure(lattice, {Site{{0, 0, 0}, {{"A", 0.5}}}});
        REQUIRE(half.ok());
        CHECK(expand_occupancies(*half, 0, 42, 16).error().message ==
              "even a 1x1x1 cell holds 1 sites, above the limit of 0");
        auto expanded = expand_occupancies(*half, 4096, std::numeric_limits<std::uint64_t>::max(), 1000000);
        CHECK(expanded.ok());
    }

}  // TEST_SUITE("supercell")
