// Calls small enough to stay on the calling thread give, to the last bit,
// what one worker of a pool gives; and the LAMMPS box arithmetic.
#include <doctest/doctest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "parallel/pool.hpp"
#include "rdf/rdf.hpp"
#include "trajectory/lammps_dump.hpp"

using namespace kestrel;

namespace {

Structure liquid(std::size_t n, double side, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Site> sites;
    for (std::size_t i = 0; i < n; ++i)
        sites.push_back(Site{{unit(rng), unit(rng), unit(rng)},
                             {SpeciesOccupancy{i % 3 ? "Ar" : "Kr", i % 5 ? 1.0 : 0.5}}});
    Mat3 m{{{side, 0, 0}, {0.7, side, 0}, {0.3, -0.4, side}}};
    return std::move(*make_structure(*make_lattice(m), std::move(sites)));
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

TEST_SUITE("small work") {
    TEST_CASE("one thread without a pool sums exactly as a pool of one worker") {
        // Below and above the work that keeps a call on its thread.
        for (auto [n, side] : {std::pair{8, 5.0}, std::pair{60, 9.0}, std::pair{3000, 30.0}}) {
            const Structure s = liquid(n, side, 7);
            auto pool = ThreadPool::start(1, 1);
            REQUIRE(pool.ok());
            std::optional<Result<RdfResult>> pooled;
            (*pool)->run([&](bool) { pooled.emplace(compute_rdf(s, 6.0, 0.1)); });
            Result<RdfResult> alone = rdf_with_threads(s, 6.0, 0.1, 1);
            REQUIRE(pooled->ok());
            REQUIRE(alone.ok());
            CHECK(same_bits((*pooled)->total, alone->total));
            for (std::size_t k = 0; k < alone->partials.size(); ++k)
                CHECK(same_bits((*pooled)->partials[k], alone->partials[k]));
        }
    }

    TEST_CASE("a brief call is judged from the density and the bins") {
        const Structure s = liquid(8, 5.0, 3);
        CHECK(rdf_is_brief(s, 10.0, 0.1));
        CHECK_FALSE(rdf_is_brief(s, 10.0, 1e-6));  // a million bins is no small histogram
        CHECK_FALSE(rdf_is_brief(liquid(3000, 30.0, 3), 10.0, 0.1));
        CHECK_FALSE(rdf_is_brief(s, std::numeric_limits<double>::quiet_NaN(), 0.1));
    }
}

TEST_SUITE("lammps box") {
    TEST_CASE("tilted bounds enclose the box; the box is narrower by the tilts") {
        // a = 10, b = (2, 8), c = (-1, 3, 6) from (1, 2, 3): x bounds widen by min(0, xy, xz, xy + xz)
        // = -1 and max(...) = 2; y bounds by min(0, yz) = 0 and max(0, yz) = 3.
        const std::string_view lines[3] = {"0 13 2", "2 13 -1", "3 9 3"};
        Result<DumpBox> box = parse_box_bounds("xy xz yz pp pp pp", lines);
        REQUIRE(box.ok());
        CHECK(box->rows == Mat3{{{10, 0, 0}, {2, 8, 0}, {-1, 3, 6}}});
        CHECK(box->origin == Vec3{1, 2, 3});
    }

    TEST_CASE("orthogonal bounds and bad lines") {
        const std::string_view lines[3] = {"-1 4", "0 5", "2 7.5"};
        Result<DumpBox> box = parse_box_bounds("pp pp pp", lines);
        REQUIRE(box.ok());
        CHECK(box->rows == Mat3{{{5, 0, 0}, {0, 5, 0}, {0, 0, 5.5}}});
        const std::string_view bad[3] = {"0 5", "0 5 1", "0 5"};
        CHECK(parse_box_bounds("pp pp pp", bad).error().message == "cannot read the box bounds '0 5 1'");
    }

    TEST_CASE("columns in any order, wrapped Cartesian preferred") {
        Result<DumpColumns> c = parse_dump_columns("zs xu type ys yu xs id zu x");
        REQUIRE(c.ok());
        CHECK(c->kind == DumpColumns::Position::unwrapped);
        CHECK(c->xyz[0] == 1);
        CHECK(c->xyz[1] == 4);
        CHECK(c->xyz[2] == 7);
        CHECK(c->needed == 8);
        CHECK(*c->type == 2);
        CHECK(*c->id == 6);
        CHECK_FALSE(c->element.has_value());
    }
}
