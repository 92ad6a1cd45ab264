// The pieces the RDF builds before its pair loop, checked against plain
// serial versions on pools of several sizes: chunked passes, the grouping
// by grid cell, the species table, distance shells, and the scratch tables.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/scratch.hpp"
#include "neighbor/cell_list.hpp"
#include "neighbor/pair_sweep.hpp"
#include "neighbor/shells.hpp"
#include "parallel/chunks.hpp"
#include "rdf/histogram.hpp"
#include "rdf/rdf.hpp"

using namespace kestrel;

namespace {

// Enough sites that every pool below cuts its passes into several chunks.
constexpr std::size_t kManySites = 6 * kMinChunkItems + 123;

Structure liquid(std::size_t n, bool mixed, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> coordinate(-1.5, 2.5), share(0.1, 0.9);
    const double side = std::cbrt(static_cast<double>(n) / 0.05);
    std::vector<Site> sites(n);
    const char* names[] = {"Ar", "Kr", "Xe"};
    for (std::size_t i = 0; i < n; ++i) {
        sites[i].frac = {coordinate(rng), coordinate(rng), coordinate(rng)};
        if (mixed && i % 3 != 0) {
            const double a = share(rng);
            sites[i].species = {{names[i % 3], a}, {names[(i + 1) % 3], (1.0 - a) * share(rng)}};
        } else {
            sites[i].species = {{names[i % 2], mixed ? share(rng) : 1.0}};
        }
    }
    return make_structure(make_lattice({{{side, 0, 0}, {0.3, side, 0}, {-0.2, 0.4, side}}}).value(), std::move(sites))
        .value();
}

std::vector<std::unique_ptr<ThreadPool>> pools() {
    std::vector<std::unique_ptr<ThreadPool>> out;
    for (std::size_t workers : {1u, 2u, 3u, 4u}) out.push_back(std::move(ThreadPool::start(workers, workers).value()));
    return out;
}

// The bin rule written out plainly: [e_k, e_k+1) for r stretched by the
// edge tolerance, the last bin closed with the tolerance past its edge too.
std::uint32_t shell_by_search(double r, double width, std::uint32_t count) {
    const double stretched = r * kEdgeStretch;
    std::uint32_t k = 0;
    while (k < count && static_cast<double>(k + 1) * width <= stretched) ++k;
    if (k == count && stretched <= static_cast<double>(count) * width * (1.0 + 2.0 * kEdgeTolerance)) return count - 1;
    return k;
}

}  // namespace

TEST_SUITE("rdf set-up") {
    TEST_CASE("chunks cover the range once and in order, and each runs once") {
        for (const auto& pool : pools()) {
            for (std::size_t n : {std::size_t{0}, std::size_t{5}, kMinChunkItems, kManySites}) {
                const std::size_t chunks = chunk_count(pool.get(), n);
                CAPTURE(pool->size());
                CAPTURE(n);
                CHECK(chunks >= 1);
                CHECK(chunks <= pool->size());
                CHECK(chunk_begin(n, chunks, 0) == 0);
                CHECK(chunk_begin(n, chunks, chunks) == n);
                std::vector<int> runs(chunks, 0);
                for_each_chunk(pool.get(), chunks, [&](std::size_t c) {
                    CHECK(chunk_begin(n, chunks, c) <= chunk_begin(n, chunks, c + 1));
                    ++runs[c];
                });
                CHECK(std::all_of(runs.begin(), runs.end(), [](int r) { return r == 1; }));
            }
        }
    }

    TEST_CASE("grouping by cell keeps each cell's sites in descending order on every pool") {
        const Structure s = liquid(kManySites, false, 11);
        const CellList grid = grid_shape(s.lattice(), 4.0, 1);
        for (const auto& pool : pools()) {
            CAPTURE(pool->size());
            Result<GroupedSites> grouped = group_by_cell(grid, s.lattice(), WrappedCoordinates{s.sites()}, pool.get());
            REQUIRE(grouped.ok());
            const GroupedSites& g = *grouped;
            REQUIRE(g.size() == s.n_sites());
            std::vector<int> seen(s.n_sites(), 0);
            bool in_place = true, descending = true, coordinates_match = true;
            for (std::uint64_t cell = 0; cell < grid.cell_count(); ++cell) {
                CHECK(g.cell_start[cell] <= g.cell_start[cell + 1]);
                for (std::size_t p = g.cell_start[cell]; p < g.cell_start[cell + 1]; ++p) {
                    const std::uint32_t site = g.site[p];
                    ++seen[site];
                    const Vec3 wrapped = wrap_fractional(s.sites()[site].frac);
                    const GridCoords at = grid_coords(grid, wrapped);
                    in_place = in_place && grid.linear_index(at.ia, at.ib, at.ic) == cell;
                    if (p > g.cell_start[cell]) descending = descending && g.site[p - 1] > site;
                    const Vec3 cart = s.lattice().to_cartesian(wrapped);
                    coordinates_match =
                        coordinates_match && g.x[p] == cart[0] && g.y[p] == cart[1] && g.z[p] == cart[2];
                    if (p + 1 == g.size()) CHECK(g.cell_holding(p) == cell);
                }
            }
            CHECK(in_place);
            CHECK(descending);
            CHECK(coordinates_match);
            CHECK(std::all_of(seen.begin(), seen.end(), [](int k) { return k == 1; }));
            CHECK(std::isnan(g.x[g.size()]));
            CHECK(std::isnan(g.z[g.size() + 2]));
        }
    }

    TEST_CASE("the species table read in chunks equals the one read serially, sums to the last bit") {
        for (bool mixed : {false, true}) {
            CAPTURE(mixed);
            const Structure s = liquid(kManySites, mixed, 5);
            const SpeciesTable serial = flatten_species(s, nullptr);
            CHECK(serial.one_per_site == !mixed);
            CHECK(serial.total_occupancy == n_atoms(s));
            const Composition totals = composition(s);
            REQUIRE(serial.elements.size() == totals.size());
            for (std::size_t e = 0; e < serial.elements.size(); ++e)
                CHECK(serial.element_totals[e] == totals.at(serial.elements[e]));
            for (const auto& pool : pools()) {
                CAPTURE(pool->size());
                const SpeciesTable chunked = flatten_species(s, pool.get());
                CHECK(chunked.elements == serial.elements);
                CHECK(chunked.element_totals == serial.element_totals);
                CHECK(chunked.total_occupancy == serial.total_occupancy);
                CHECK(chunked.one_per_site == serial.one_per_site);
                CHECK(chunked.whole_atoms == !mixed);
                CHECK(chunked.first_non_finite_site == s.n_sites());
                REQUIRE(chunked.element.size() == serial.element.size());
                CHECK(std::equal(chunked.offsets.begin(), chunked.offsets.end(), serial.offsets.begin()));
                CHECK(std::equal(chunked.element.begin(), chunked.element.end(), serial.element.begin()));
                CHECK(std::equal(chunked.occupancy.begin(), chunked.occupancy.end(), serial.occupancy.begin()));
            }
        }
    }

    TEST_CASE("quads cover each segment once in order, and the sweep accepts exactly what a direct test does") {
        std::mt19937_64 rng(17);
        std::uniform_real_distribution<double> coordinate(0.0, 6.0);
        constexpr std::size_t kPositions = 400;
        std::vector<double> x(kPositions + 3), y(kPositions + 3), z(kPositions + 3);
        for (std::size_t i = 0; i < kPositions; ++i)
            x[i] = coordinate(rng), y[i] = coordinate(rng), z[i] = coordinate(rng);
        for (std::size_t i = kPositions; i < kPositions + 3; ++i) x[i] = y[i] = z[i] = std::nan("");
        // Segments of every short length (the quads of a sparse grid) and
        // some long ones, translated or not, the last one ending at the end.
        std::vector<detail::Segment> segments;
        std::size_t at = 0;
        for (std::size_t length : {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 13, 17, 40, 3, 0, 6, 11}) {
            const bool moved = segments.size() % 3 == 1;
            segments.push_back({at, at + length, moved ? 6.0 : 0.0, moved ? -6.0 : 0.0, 0.0, 0, 0, 0});
            at += length + segments.size() % 2;
        }
        segments.push_back({at, kPositions, 0.0, 0.0, 6.0, 0, 0, 0});
        std::size_t candidates = 0;
        for (const detail::Segment& s : segments) candidates += s.end - s.begin;

        std::vector<detail::Quad> quads(2, detail::Quad{7, 15, 0});
        const std::size_t count = detail::append_quads(segments.data(), segments.size(), candidates, quads, 2);
        REQUIRE(count <= quads.size());
        CHECK(quads[0].first == 7);
        CHECK(quads[1].lanes == 15);
        std::vector<std::pair<std::size_t, std::size_t>> covered, expected;  // (position, segment)
        for (std::size_t s = 0; s < segments.size(); ++s)
            for (std::size_t k = segments[s].begin; k < segments[s].end; ++k) expected.emplace_back(k, s);
        for (std::size_t q = 2; q < count; ++q) {
            CHECK(quads[q].lanes != 0);
            for (unsigned lane = 0; lane < 4; ++lane)
                if (quads[q].lanes & (1u << lane)) covered.emplace_back(quads[q].first + lane, quads[q].segment);
        }
        CHECK(covered == expected);

        const detail::SweepKernels kernels = detail::sweep_kernels();
        const detail::Coordinates coordinates{x.data(), y.data(), z.data()};
        std::vector<double> r2(4 * count + 4), want_r2;
        std::vector<std::uint32_t> accepted(4 * count + 4), want;
        int mismatches = 0;
        std::size_t total = 0;
        for (bool translated : {true, false})
            for (unsigned first_lanes : {15u, 14u, 12u, 8u, 0u})
                for (int centre = 0; centre < 40; ++centre) {
                    const double px = coordinate(rng), py = coordinate(rng), pz = coordinate(rng);
                    const double cutoff2 = centre % 2 ? 4.0 : 9.0;
                    const detail::Quad* from = quads.data() + 2;
                    const std::size_t n =
                        kernels.sweep(coordinates, translated ? segments.data() : nullptr, from, count - 2, first_lanes,
                                      px, py, pz, cutoff2, r2.data(), accepted.data());
                    want.clear(), want_r2.clear();
                    for (std::size_t q = 0; q + 2 < count; ++q)
                        for (unsigned lane = 0; lane < 4; ++lane) {
                            if (!(from[q].lanes & (q == 0 ? first_lanes : 15u) & (1u << lane))) continue;
                            const detail::Segment& s = segments[from[q].segment];
                            const double bx = translated ? px - s.tx : px, by = translated ? py - s.ty : py,
                                         bz = translated ? pz - s.tz : pz;
                            const std::size_t k = from[q].first + lane;
                            const double dx = x[k] - bx, dy = y[k] - by, dz = z[k] - bz;
                            const double d2 = dx * dx + dy * dy + dz * dz;
                            if (d2 <= cutoff2 && d2 > 1e-16)
                                want.push_back(static_cast<std::uint32_t>(k)), want_r2.push_back(d2);
                        }
                    total += n;
                    mismatches += n != want.size() || !std::equal(want.begin(), want.end(), accepted.begin()) ||
                                  !std::equal(want_r2.begin(), want_r2.end(), r2.begin());
                    // Without positions: the same distances.
                    const std::size_t alone =
                        kernels.sweep(coordinates, translated ? segments.data() : nullptr, from, count - 2, first_lanes,
                                      px, py, pz, cutoff2, r2.data(), nullptr);
                    mismatches += alone != want.size() || !std::equal(want_r2.begin(), want_r2.end(), r2.begin());
                }
        CHECK(mismatches == 0);
        CHECK(total > 1000);  // the test sees many accepted pairs
    }

    TEST_CASE("distance shells equal a search over the edges, on, just below and just above each edge") {
        const detail::SweepKernels kernels = detail::sweep_kernels();
        std::mt19937_64 rng(3);
        for (double width : {0.1, 0.05, 0.013, 1.0 / 3.0, 0.7, 2.5e-4}) {
            const double cutoff = 6.0;
            const auto count = static_cast<std::uint32_t>(std::ceil((cutoff + width) / width) - 1.0);
            const UniformShells shells(width, count);
            std::vector<double> r;
            for (std::uint32_t k = 0; k <= count; k += 1 + count / 997) {
                const double edge = static_cast<double>(k) * width;
                r.insert(r.end(), {edge, std::nextafter(edge, 0.0), std::nextafter(edge, 1e9),
                                   edge * (1.0 - 0.5 * kEdgeTolerance), edge * (1.0 - 3.0 * kEdgeTolerance)});
            }
            const double last = static_cast<double>(count) * width;
            r.insert(r.end(), {last, std::nextafter(last, 0.0), std::nextafter(last, 1e9), last * 1.01,
                               last * (1.0 + 0.5 * kEdgeTolerance), last * (1.0 + 3.0 * kEdgeTolerance)});
            std::uniform_real_distribution<double> anywhere(0.0, last);
            for (int i = 0; i < 2000; ++i) r.push_back(anywhere(rng));
            std::vector<double> squares(r.size() + 4);
            for (std::size_t i = 0; i < r.size(); ++i) squares[i] = r[i] * r[i];
            std::vector<std::uint32_t> fast(r.size() + 4);
            kernels.shells(squares.data(), r.size(), shells, fast.data());
            CAPTURE(width);
            int wrong_scalar = 0, wrong_vector = 0;
            for (std::size_t i = 0; i < r.size(); ++i) {
                const double distance = std::sqrt(squares[i]);
                const std::uint32_t want = shell_by_search(distance, width, count);
                wrong_scalar += shell_of(distance, shells) != want;
                wrong_vector += fast[i] != want;
            }
            CHECK(wrong_scalar == 0);
            CHECK(wrong_vector == 0);
            // A distance a few units in the last place off an inner edge, on
            // either side, is in the shell above it.
            int split = 0;
            for (std::uint32_t k = 1; k < count; k += 1 + count / 97) {
                double below = static_cast<double>(k) * width, above = below;
                for (int ulp = 0; ulp < 8; ++ulp)
                    below = std::nextafter(below, 0.0), above = std::nextafter(above, 1e9);
                split += shell_of(below, shells) != k || shell_of(above, shells) != k;
            }
            CHECK(split == 0);
        }
    }

    TEST_CASE("scratch tables reuse released blocks and the cache stays bounded") {
        // Blocks the tests before left in the cache would be handed out
        // first: all are held until this test ends.
        std::vector<ScratchArray<std::byte>> held;
        for (std::size_t bytes = std::size_t{64} << 10; bytes <= (std::size_t{1} << 32); bytes *= 2) {
            for (std::size_t before = scratch_detail::cached_bytes(); before > 0;
                 before = scratch_detail::cached_bytes()) {
                held.emplace_back(bytes);
                if (scratch_detail::cached_bytes() == before) break;  // a new block: none of this size is left
            }
        }
        REQUIRE(scratch_detail::cached_bytes() == 0);
        void* first = nullptr;
        {
            ScratchArray<double> table(200'000);
            first = table.data();
            table[0] = 1.0;
            table[199'999] = 2.0;
        }
        {
            // A little smaller: the same block comes back.
            ScratchArray<double> again(190'000);
            CHECK(static_cast<void*>(again.data()) == first);
            CHECK(again.size() == 190'000);
        }
        {
            // Much smaller: a block four times its size is not pinned by it.
            ScratchArray<double> small(20'000);
            CHECK(static_cast<void*>(small.data()) != first);
        }
        ScratchArray<std::uint32_t> moved(100'000);
        const std::uint32_t* data = moved.data();
        ScratchArray<std::uint32_t> target = std::move(moved);
        CHECK(target.data() == data);
        CHECK(moved.data() == nullptr);
        {
            // Released large tables never make the cache hold more than its bound.
            std::vector<ScratchArray<char>> large;
            for (int i = 0; i < 6; ++i) large.emplace_back(std::size_t{120} << 20);
        }
        CHECK(scratch_detail::cached_bytes() <= (std::size_t{512} << 20));
        CHECK_THROWS_AS(ScratchArray<double>(static_cast<std::size_t>(-1) / 4), std::bad_alloc);
    }
}
