// The RDF pair loop against a brute-force reference on several thread
// counts, the neighbor query, and the guards against absurd requests.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "neighbor/cell_list.hpp"
#include "neighbor/neighbor_query.hpp"
#include "neighbor/pair_sweep.hpp"
#include "neighbor/reduced_cell.hpp"
#include "rdf/histogram.hpp"
#include "rdf/rdf.hpp"

using namespace kestrel;

namespace {

Structure random_structure(std::mt19937_64& rng, std::size_t n_sites) {
    std::uniform_real_distribution<double> edge(2.5, 5.0), tilt(-1.0, 1.0), coord(-2.5, 3.5), unit(0.0, 1.0);
    Mat3 m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = i == j ? edge(rng) : tilt(rng);
    const char* names[] = {"Fe", "Ni", "O", "Cu"};
    std::vector<Site> sites;
    for (std::size_t s = 0; s < n_sites; ++s) {
        Site site;
        site.frac = {coord(rng), coord(rng), coord(rng)};
        if (s % 7 == 3 && !sites.empty()) site.frac = sites.back().frac;  // coinciding sites
        if (s % 7 == 5 && !sites.empty())
            site.frac = {sites[0].frac[0] + 1.0, sites[0].frac[1], sites[0].frac[2] - 2.0};
        const int kinds = 1 + static_cast<int>(rng() % 3);
        double left = 1.0;
        for (int k = 0; k < kinds; ++k) {
            const double occupancy = k + 1 == kinds ? left * (s % 2 ? 1.0 : 0.8) : left * unit(rng);
            site.species.push_back({names[(s + static_cast<std::size_t>(k)) % 4], occupancy});
            left -= occupancy;
        }
        std::sort(site.species.begin(), site.species.end(),
                  [](const SpeciesOccupancy& x, const SpeciesOccupancy& y) { return x.element < y.element; });
        site.species.erase(
            std::unique(site.species.begin(), site.species.end(),
                        [](const SpeciesOccupancy& x, const SpeciesOccupancy& y) { return x.element == y.element; }),
            site.species.end());
        sites.push_back(site);
    }
    return make_structure(make_lattice(m).value(), std::move(sites)).value();
}

// Every image of every site, with shift ranges one beyond what the cutoff
// spans; bins by search over the edges; weights and normalisation as
// documented. Independent of the grid and of the pair loop.
RdfResult brute_force(const Structure& s, double cutoff, double bin_size) {
    RdfResult out;
    for (const auto& [element, amount] : composition(s)) out.elements.push_back(element);
    const std::size_t n_el = out.elements.size();
    const std::uint64_t n_edges = edge_count(cutoff, bin_size);
    out.edges = bin_edges(n_edges, bin_size);
    const std::size_t n_bins = out.edges.size() - 1;
    std::vector<double> h(n_el * n_el * n_bins, 0.0);
    const Vec3 widths = perpendicular_widths(s.lattice());
    std::int64_t span[3];
    for (int k = 0; k < 3; ++k) span[k] = static_cast<std::int64_t>(std::ceil(cutoff / widths[k])) + 1;
    auto index_of = [&](std::string_view e) {
        return static_cast<std::size_t>(std::find(out.elements.begin(), out.elements.end(), e) - out.elements.begin());
    };
    const Mat3& m = s.lattice().matrix();
    const double reach = search_reach(cutoff);
    for (const Site& a : s.sites())
        for (const Site& b : s.sites())
            for (std::int64_t i = -span[0]; i <= span[0]; ++i)
                for (std::int64_t j = -span[1]; j <= span[1]; ++j)
                    for (std::int64_t k = -span[2]; k <= span[2]; ++k) {
                        const Vec3 wa = wrap_fractional(a.frac), wb = wrap_fractional(b.frac);
                        const double f[3] = {wb[0] + static_cast<double>(i) - wa[0],
                                             wb[1] + static_cast<double>(j) - wa[1],
                                             wb[2] + static_cast<double>(k) - wa[2]};
                        double d[3];
                        for (int c = 0; c < 3; ++c) d[c] = f[0] * m[0][c] + f[1] * m[1][c] + f[2] * m[2][c];
                        const double r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
                        if (!(r2 <= reach * reach && r2 > 1e-16)) continue;
                        const double r = std::sqrt(r2) * kEdgeStretch;
                        auto bin = static_cast<std::size_t>(std::upper_bound(out.edges.begin(), out.edges.end(), r) -
                                                            out.edges.begin()) -
                                   1;
                        if (bin >= n_bins) {
                            if (!(r <= out.edges.back() * (1.0 + 2.0 * kEdgeTolerance))) continue;
                            bin = n_bins - 1;
                        }
                        for (const SpeciesOccupancy& x : a.species)
                            for (const SpeciesOccupancy& y : b.species)
                                h[(index_of(x.element) * n_el + index_of(y.element)) * n_bins + bin] +=
                                    x.occupancy * y.occupancy;
                    }
    PairHistogram histogram(n_el, n_bins);
    histogram.counts = h;
    std::vector<double> totals;
    for (const auto& [element, amount] : composition(s)) totals.push_back(amount);
    normalise(histogram, shell_volumes(out.edges), totals, n_atoms(s), out);
    out.r.assign(out.edges.begin(), out.edges.end() - 1);
    return out;
}

void check_close(const std::vector<double>& got, const std::vector<double>& want) {
    REQUIRE(got.size() == want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        CAPTURE(k);
        CHECK(std::fabs(got[k] - want[k]) <= 1e-9 * std::max(1.0, std::fabs(want[k])));
    }
}

Structure one_site(double a) {
    return make_structure(make_lattice({{{a, 0, 0}, {0, a, 0}, {0, 0, a}}}).value(), {Site{{0, 0, 0}, {{"Fe", 1.0}}}})
        .value();
}

}  // namespace

TEST_SUITE("rdf") {
    TEST_CASE("pair loop equals the brute-force reference on 0, 1, 2, 3 and 8 threads") {
        std::mt19937_64 rng(20240611);
        for (int round = 0; round < 6; ++round) {
            const Structure s = random_structure(rng, 6 + static_cast<std::size_t>(round) * 5);
            double longest = 0;
            for (const Vec3& row : s.lattice().matrix())
                longest = std::max(longest, std::hypot(row[0], row[1], row[2]));
            const double cutoff = longest * (1.0 + 0.4 * round);
            const double bin_size = cutoff / 37.0;
            CAPTURE(round);
            const RdfResult want = brute_force(s, cutoff, bin_size);
            for (std::uint64_t threads : {0u, 1u, 2u, 3u, 8u}) {
                CAPTURE(threads);
                auto got = rdf_with_threads(s, cutoff, bin_size, threads);
                REQUIRE(got.ok());
                CHECK(got->elements == want.elements);
                CHECK(got->r == want.r);
                check_close(got->total, want.total);
                REQUIRE(got->partials.size() == want.partials.size());
                for (std::size_t p = 0; p < want.partials.size(); ++p) check_close(got->partials[p], want.partials[p]);
            }
        }
    }

    TEST_CASE("ordered structures (every pair weighing 1) equal the reference, exactly, with one or three elements") {
        // Whole-number pair counts: the curves must match to the last bit,
        // whichever order the pairs are added in.
        std::mt19937_64 rng(99);
        for (std::size_t n_elements : {1u, 3u}) {
            std::vector<Site> sites;
            std::uniform_real_distribution<double> coord(-0.5, 1.5);
            const char* names[] = {"Ar", "Kr", "Xe"};
            for (std::size_t i = 0; i < 400; ++i)
                sites.push_back(Site{{coord(rng), coord(rng), coord(rng)}, {{names[i % n_elements], 1.0}}});
            const Structure s =
                make_structure(make_lattice({{{11.0, 0, 0}, {1.5, 12.0, 0}, {-0.7, 0.9, 10.0}}}).value(), sites)
                    .value();
            const RdfResult want = brute_force(s, 7.5, 0.05);
            for (std::uint64_t threads : {1u, 3u}) {
                CAPTURE(n_elements);
                CAPTURE(threads);
                auto got = rdf_with_threads(s, 7.5, 0.05, threads);
                REQUIRE(got.ok());
                CHECK(got->total == want.total);
                CHECK(got->partials == want.partials);
            }
        }
    }

    TEST_CASE("a larger cell split across many pieces agrees between thread counts") {
        std::mt19937_64 rng(7);
        const Structure s = random_structure(rng, 300);
        auto serial = rdf_with_threads(s, 6.0, 0.1, 1);
        REQUIRE(serial.ok());
        for (std::uint64_t threads : {0u, 2u, 5u}) {
            auto parallel = rdf_with_threads(s, 6.0, 0.1, threads);
            REQUIRE(parallel.ok());
            check_close(parallel->total, serial->total);
        }
    }

    TEST_CASE("neighbour query of one site in a 3 A cube with cutoff 10 sees every image once") {
        const Structure s = one_site(3.0);
        auto grid = build_cell_list(s, 10.0);
        REQUIRE(grid.ok());
        CHECK(grid->cells.na == 1);
        CHECK(grid->cells.reach_a == 4);
        std::size_t at3 = 0, at_diag = 0, total = 0;
        for_each_neighbor(grid->cells, grid->wrapped, s.lattice(), 10.0, 0, [&](std::size_t j, double r) {
            CHECK(j == 0);
            ++total;
            if (std::fabs(r - 3.0) < 1e-12) ++at3;
            if (std::fabs(r - std::sqrt(18.0)) < 1e-12) ++at_diag;
        });
        CHECK(at3 == 6);
        CHECK(at_diag == 12);
        std::size_t expected = 0;
        for (int i = -4; i <= 4; ++i)
            for (int j = -4; j <= 4; ++j)
                for (int k = -4; k <= 4; ++k)
                    if ((i || j || k) && 9.0 * (i * i + j * j + k * k) <= 100.0) ++expected;
        CHECK(total == expected);
    }

    TEST_CASE("grid offsets wrap like repeated steps, far beyond one cell") {
        for (std::uint64_t n : {1u, 2u, 5u, 64u})
            for (std::int64_t index : {-1000001, -65, -64, -1, 0, 1, 63, 64, 129, 999999}) {
                std::uint64_t wrapped;
                std::int64_t shift;
                wrap_axis(index, n, wrapped, shift);
                CHECK(wrapped < n);
                CHECK(static_cast<std::int64_t>(wrapped) + shift * static_cast<std::int64_t>(n) == index);
            }
    }

    TEST_CASE("absurd cutoffs are refused before the search starts") {
        const Structure s = one_site(4.0);
        struct Case {
            double cutoff, bin_size;
            const char* start;
        };
        const double inf = std::numeric_limits<double>::infinity();
        const Case cases[] = {
            {1e300, 1e299, "the cutoff reaches too many periodic images of this cell"},
            {1e6, 1e5, "the cutoff reaches too many periodic images of this cell"},
            {10.0, 1e-12, "cutoff and bin_size give 10000000000000 bins"},
            {inf, 1.0, "cutoff and bin_size give 18446744073709551614 bins"},
            {inf, inf, "cutoff and bin_size give no bins"},
            {std::nan(""), 0.1, "cutoff must be positive"},
            {1.0, std::nan(""), "bin_size must be positive and no larger than the cutoff"},
        };
        for (const Case& c : cases) {
            CAPTURE(c.cutoff);
            CAPTURE(c.bin_size);
            for (std::uint64_t threads : {0u, 2u}) {
                auto result = rdf_with_threads(s, c.cutoff, c.bin_size, threads);
                REQUIRE_FALSE(result.ok());
                CHECK(result.error().message.rfind(c.start, 0) == 0);
            }
        }
        auto refused = compute_rdf(s, 1e6, 1e5);
        CHECK(refused.error().message ==
              "the cutoff reaches too many periodic images of this cell: the neighbour search would make about 6.5e+16 "
              "distance tests, more than the limit of 1.0e+14");
        // Long but reasonable: still computed.
        CHECK(compute_rdf(s, 300.0, 1.0).ok());
    }

    TEST_CASE("non-finite cells and coordinates are refused; huge finite cells are searched") {
        const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
        CHECK(make_lattice({{{nan, 0, 0}, {0, 1, 0}, {0, 0, 1}}}).error().message ==
              "cell matrix must contain only finite numbers; lattice vector 1 has nan");
        CHECK(make_lattice({{{1, 0, 0}, {0, 1, 0}, {0, 0, -inf}}}).error().message ==
              "cell matrix must contain only finite numbers; lattice vector 3 has -inf");
        auto s = make_structure(make_lattice({{{4, 0, 0}, {0, 4, 0}, {0, 0, 4}}}).value(),
                                {Site{{0, 0, 0}, {{"Fe", 1.0}}}, Site{{0.5, inf, 0}, {{"Fe", 1.0}}}});
        CHECK(s.error().message == "coordinates must be finite; site 2 has (0.5000, inf, 0.0000)");

        auto huge = make_structure(make_lattice({{{1e300, 0, 0}, {0, 1e300, 0}, {0, 0, 1e300}}}).value(),
                                   {Site{{0, 0, 0}, {{"Fe", 1.0}}}, Site{{0.5, 0.5, 0.5}, {{"O", 1.0}}}});
        REQUIRE(huge.ok());
        const Vec3 widths = perpendicular_widths(huge->lattice());
        CHECK(widths[0] == doctest::Approx(1e300));
        auto curves = compute_rdf(*huge, 5.0, 1.0);
        REQUIRE(curves.ok());
        for (double g : curves->total) CHECK(g == 0.0);
    }

    TEST_CASE("search work estimate grows with the reach") {
        const Structure s = one_site(3.0);
        const CellList near = grid_shape(s.lattice(), 10.0, 2);
        const CellList far = grid_shape(s.lattice(), 1000.0, 2);
        CHECK(estimated_search_work(near, 1) < 1e4);
        CHECK(estimated_search_work(far, 1) > 1e8);
        CHECK(estimated_search_work(far, 1) < kMaxSearchWork);
    }

    TEST_CASE("each turn of a search row round a small grid is a stretch the limit counts") {
        // A one-cell grid: every image along c is a stretch of its own.
        const Structure s = one_site(4.0);
        const Lattice& lattice = s.lattice();
        for (double cutoff : {10.0, 100.0, 1000.0}) {
            CAPTURE(cutoff);
            const CellList grid = grid_shape(lattice, cutoff, 1);
            const HalfStencil stencil(grid, lattice, cutoff);
            const double images = 2.0 / 3.0 * 3.14159 * cutoff * cutoff * cutoff / 64.0;  // half the sphere
            CHECK(stencil.segments_per_centre() >= images);
            CHECK(stencil.segments_per_centre() < 8.0 * images + 100.0);
        }
    }

    TEST_CASE("a requested stop ends the pair loop with the interrupted message, on every pool") {
        const Structure s = one_site(4.0);
        for (std::uint64_t threads : {0u, 1u, 3u}) {
            CAPTURE(threads);
            std::stop_source before;
            before.request_stop();
            auto stopped = rdf_with_threads(s, 50.0, 1.0, threads, before.get_token());
            REQUIRE_FALSE(stopped.ok());
            CHECK(stopped.error().message == "interrupted");

            // A stop while the workers run: a long reach over one tiny cell,
            // where a single centre is most of the work.
            std::stop_source during;
            std::jthread stopper([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                during.request_stop();
            });
            auto late = rdf_with_threads(s, 2500.0, 10.0, threads, during.get_token());
            REQUIRE_FALSE(late.ok());
            CHECK(late.error().message == "interrupted");
            // And the same pool computes normally afterwards.
            CHECK(rdf_with_threads(s, 10.0, 0.5, threads).ok());
        }
    }

    TEST_CASE("the sphere's axis-by-axis form: gaa is the cell's squared width across a") {
        std::mt19937_64 rng(3);
        for (int trial = 0; trial < 20; ++trial) {
            const Structure s = random_structure(rng, 1);
            const SphereAxes axes = SphereAxes::of(s.lattice().matrix());
            const Vec3 widths = perpendicular_widths(s.lattice());
            CHECK(std::sqrt(axes.gaa) == doctest::Approx(widths[0]).epsilon(1e-12));
            // Any fractional difference: the form equals |f M|^2.
            const Mat3& m = s.lattice().matrix();
            const Vec3 f{0.3, -1.7, 2.2};
            Vec3 d{};
            for (int k = 0; k < 3; ++k) d[k] = f[0] * m[0][k] + f[1] * m[1][k] + f[2] * m[2][k];
            const double u = f[1] + axes.mba * f[0], v = f[2] + axes.mca * f[0] + axes.mcb * f[1];
            CHECK(axes.gaa * f[0] * f[0] + axes.gbb * u * u + axes.gcc * v * v ==
                  doctest::Approx(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]).epsilon(1e-12));
        }
    }

    TEST_CASE("slanted cells are searched in a reduced basis; nearly square ones keep theirs") {
        const double t = 8.0 * 3.14159265358979323846 / 180.0;
        const Lattice slant = make_lattice({{{5, 0, 0}, {5 * std::cos(t), 5 * std::sin(t), 0}, {1, 2, 6}}}).value();
        const std::vector<Site> sites{Site{{0.25, -0.5, 3.75}, {{"Fe", 1.0}}}};
        auto reduced = reduce_for_search(slant, sites);
        REQUIRE(reduced.has_value());
        CHECK(std::fabs(determinant(reduced->lattice.matrix())) ==
              doctest::Approx(std::fabs(determinant(slant.matrix()))));
        // The same point, the same lattice: the Cartesian positions differ by
        // a lattice vector of the original cell.
        const Vec3 there = reduced->lattice.to_cartesian(reduced->wrapped[0]);
        const Vec3 here = slant.to_cartesian(sites[0].frac);
        const Vec3 shift = slant.to_fractional({there[0] - here[0], there[1] - here[1], there[2] - here[2]});
        for (double x : shift) CHECK(x == doctest::Approx(std::round(x)).epsilon(1e-9));
        for (double x : reduced->wrapped[0]) CHECK((x >= 0.0 && x < 1.0));

        const Lattice oblique = make_lattice({{{9, 0, 0}, {1.5, 8, 0}, {-1, 2, 10}}}).value();
        CHECK_FALSE(reduce_for_search(oblique, sites).has_value());

        // The RDF of the slanted cell equals the brute force over its own images,
        // with bins that put a lattice vector's length (5 A) on an edge: the
        // last bits of such a distance depend on the basis it is computed in,
        // and the bins' tolerance must absorb them.
        std::mt19937_64 rng(11);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::vector<Site> many;
        for (int k = 0; k < 12; ++k)
            many.push_back(Site{{unit(rng), unit(rng), unit(rng)}, {{k % 2 ? "Fe" : "O", 1.0}}});
        const Structure s = make_structure(slant, many).value();
        auto fast = compute_rdf(s, 7.0, 0.1);
        REQUIRE(fast.ok());
        const RdfResult slow = brute_force(s, 7.0, 0.1);
        check_close(fast->total, slow.total);
    }

}  // TEST_SUITE("rdf")
