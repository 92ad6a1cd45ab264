#include "rdf/rdf.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>
#include <optional>
#include <string>

#include "neighbor/pair_sweep.hpp"
#include "neighbor/reduced_cell.hpp"
#include "parallel/chunks.hpp"
#include "parallel/pool.hpp"
#include "rdf/bins.hpp"
#include "rdf/unit_pairs.hpp"

namespace kestrel {
namespace {

// Everything the workers read during the pair loop; built once before they
// start and never changed while they run.
struct PairLoop {
    const Lattice& lattice;
    double reach;  // the search's radius: the cutoff and the bins' tolerance
    const CellList& grid;
    const HalfStencil& stencil;  // the grid-cell offsets each centre searches
    GroupedSites sites;          // coordinates grouped by grid cell
    // The species of each position: entries [offsets[p], offsets[p + 1]),
    // or entry p alone when every site has one (offsets is then empty).
    ScratchArray<std::size_t> offsets;
    ScratchArray<std::uint32_t> element;  // the SpeciesTable's entries, in position order
    ScratchArray<double> occupancy;
    bool one_species_per_site;  // lets the common case skip the species loops
    bool unit_weights = false;  // and every occupancy is exactly 1: each pair adds 1 (with one element, the
                                // species arrays are then left empty)
    const std::vector<double>& edges;
    std::size_t n_elements;
    std::size_t n_bins;
    std::stop_token stop;  // the pieces give up once it is requested

    PairLoop(const Lattice& lattice_, double reach_, const CellList& grid_, GroupedSites sites_,
             const HalfStencil& stencil_, const SpeciesTable& table, const std::vector<double>& edges_,
             std::size_t n_elements_, ThreadPool* pool, std::stop_token stop_)
        : lattice(lattice_),
          reach(reach_),
          grid(grid_),
          stencil(stencil_),
          sites(std::move(sites_)),
          one_species_per_site(table.one_per_site),
          edges(edges_),
          n_elements(n_elements_),
          n_bins(edges_.size() - 1),
          stop(std::move(stop_)) {
        const std::size_t n = sites.size();
        unit_weights = table.whole_atoms;
        // Then every pair adds 1 to its bin: the loop reads no species.
        if (unit_weights && n_elements == 1) return;
        if (!one_species_per_site) {
            // Where each position's entries start: a running sum, in order.
            offsets = ScratchArray<std::size_t>(n + 1);
            offsets[0] = 0;
            for (std::size_t p = 0; p < n; ++p) {
                const std::uint32_t s = sites.site[p];
                offsets[p + 1] = offsets[p] + (table.offsets[s + 1] - table.offsets[s]);
            }
        }
        const std::size_t entries = one_species_per_site ? n : offsets[n];
        element = ScratchArray<std::uint32_t>(entries);
        occupancy = ScratchArray<double>(entries);
        const std::size_t chunks = chunk_count(pool, n);
        for_each_chunk(pool, chunks, [&](std::size_t c) {
            const std::size_t end = chunk_begin(n, chunks, c + 1);
            for (std::size_t p = chunk_begin(n, chunks, c); p < end; ++p) {
                const std::uint32_t s = sites.site[p];
                if (one_species_per_site) {
                    element[p] = table.element[s];
                    occupancy[p] = table.occupancy[s];
                    continue;
                }
                std::size_t to = offsets[p];
                for (std::size_t e = table.offsets[s]; e < table.offsets[s + 1]; ++e, ++to) {
                    element[to] = table.element[e];
                    occupancy[to] = table.occupancy[e];
                }
            }
        });
    }

    // Positions [begin, end) as centres, in ascending order, into a fresh
    // histogram. Each unordered pair is found once and counted in the order
    // it was found; symmetrise() later adds the other order to every pair
    // at once, which is what visiting it from both sides would have added.
    template <bool kOneSpecies>
    PairHistogram sweep(std::size_t begin, std::size_t end) const {
        PairHistogram histogram(n_elements, n_bins);
        double* counts = histogram.counts.data();
        const std::size_t stride = n_elements * n_bins;
        const UniformShells shells(edges[1], static_cast<std::uint32_t>(n_bins));
        if constexpr (kOneSpecies) {
            if (unit_weights && n_elements == 1) {
                // Every pair adds exactly 1 to its bin, whichever centre
                // found it: one loop over the whole buffer, with a bin past
                // the last for the pairs beyond the last edge. Sums of ones
                // are exact in any order.
                std::vector<double> tally(n_bins + 1, 0.0);
                for_each_pair_once(
                    sites, grid, stencil, lattice, reach, shells, begin, end, stop,
                    [&](const CentrePairs* centres, std::size_t n_centres, const std::uint32_t*,
                        const std::uint32_t* k) {
                        const std::size_t n = n_centres == 0 ? 0 : centres[n_centres - 1].end;
                        for (std::size_t t = 0; t < n; ++t) tally[k[t]] += 1.0;
                    },
                    Partners::kUnread);
                for (std::size_t b = 0; b < n_bins; ++b) counts[b] += tally[b];
                return histogram;
            }
            // Each centre's histogram entries (and weights) are worked out
            // in a pass of their own. Done inside the additions, every
            // addition's address would wait on loads behind the previous
            // store, and pairs often share a bin, so the processor would not
            // run them ahead; in their own pass they run freely, and the
            // additions (still in pair order) wait only on their index.
            std::vector<std::size_t> index;
            std::vector<double> weight;
            for_each_pair_once(
                sites, grid, stencil, lattice, reach, shells, begin, end, stop,
                [&](const CentrePairs* centres, std::size_t n_centres, const std::uint32_t* partners,
                    const std::uint32_t* bins) {
                    for_each_centre(centres, n_centres, partners, bins,
                                    [&](std::size_t p, const std::uint32_t* q, const std::uint32_t* k, std::size_t n) {
                                        if (index.size() < n) index.resize(n), weight.resize(n);
                                        const std::size_t row = element[p] * stride;
                                        std::size_t kept = 0;
                                        if (unit_weights) {
                                            // Every pair weighs exactly 1 * 1.
                                            for (std::size_t t = 0; t < n; ++t) {
                                                index[kept] = row + element[q[t]] * n_bins + k[t];
                                                kept += k[t] < n_bins;
                                            }
                                            for (std::size_t t = 0; t < kept; ++t) counts[index[t]] += 1.0;
                                            return;
                                        }
                                        const double own = occupancy[p];
                                        for (std::size_t t = 0; t < n; ++t) {
                                            index[kept] = row + element[q[t]] * n_bins + k[t];
                                            weight[kept] = own * occupancy[q[t]];
                                            kept += k[t] < n_bins;
                                        }
                                        for (std::size_t t = 0; t < kept; ++t) counts[index[t]] += weight[t];
                                    });
                });
        } else {
            for_each_pair_once(
                sites, grid, stencil, lattice, reach, shells, begin, end, stop,
                [&](const CentrePairs* centres, std::size_t n_centres, const std::uint32_t* partners,
                    const std::uint32_t* bins) {
                    for_each_centre(centres, n_centres, partners, bins,
                                    [&](std::size_t p, const std::uint32_t* q, const std::uint32_t* k, std::size_t n) {
                                        for (std::size_t t = 0; t < n; ++t) {
                                            if (k[t] >= n_bins) continue;
                                            for (std::size_t i = offsets[p]; i < offsets[p + 1]; ++i)
                                                for (std::size_t j = offsets[q[t]]; j < offsets[q[t] + 1]; ++j)
                                                    counts[element[i] * stride + element[j] * n_bins + k[t]] +=
                                                        occupancy[j] * occupancy[i];
                                        }
                                    });
                });
        }
        return histogram;
    }

    PairHistogram sweep(std::size_t begin, std::size_t end) const {
        return one_species_per_site ? sweep<true>(begin, end) : sweep<false>(begin, end);
    }
};

// Fork-join over the centre range. A piece is split while its budget lasts;
// a piece that moved to another thread (stolen, or handed into the pool)
// gets a fresh budget, so idle workers that steal cut the remaining work
// finer where it is uneven. The right half's counts are added into the left's.
// Without a pool the halves run one after the other on this thread, split
// as a pool of one worker splits them, so the sums are those of one worker
// to the last bit.
PairHistogram run_piece(const PairLoop& loop, ThreadPool* pool, std::size_t begin, std::size_t end, std::size_t budget,
                        bool moved) {
    const std::size_t half = (end - begin) / 2;
    bool split = false;
    if (half >= 1) {
        if (moved) {
            budget = std::max(pool->size(), budget / 2);
            split = true;
        } else if (budget > 0) {
            budget /= 2;
            split = true;
        }
    }
    if (!split) return loop.sweep(begin, end);

    PairHistogram left, right;
    if (pool == nullptr) {
        left = run_piece(loop, nullptr, begin, begin + half, budget, false);
        right = run_piece(loop, nullptr, begin + half, end, budget, false);
    } else {
        pool->join([&](bool m) { left = run_piece(loop, pool, begin, begin + half, budget, m); },
                   [&](bool m) { right = run_piece(loop, pool, begin + half, end, budget, m); });
    }
    left.merge(right);
    return left;
}

std::string scientific(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1e", value);
    return text;
}

Result<ThreadPool*> pool_in_charge() {
    if (ThreadPool* own = ThreadPool::current()) return own;
    return default_pool();
}

std::size_t worker_count(const ThreadPool* pool) {
    return pool == nullptr ? 1 : pool->size();
}

}  // namespace

// Grid cells narrower than the cutoff shrink the searched volume towards
// the sphere, but every cell a query visits costs a lookup whether it holds
// sites or not: subdivide only while a cell still holds about five sites.
unsigned grid_subdivisions(double sites_per_volume, double cutoff) {
    const double fit = std::floor(cutoff * std::cbrt(sites_per_volume / 5.0));
    if (!(fit >= 1.0)) return 1;
    return fit >= 4.0 ? 4u : static_cast<unsigned>(fit);
}

bool rdf_is_brief(const Structure& structure, double cutoff, double bin_size) {
    const auto n = static_cast<double>(structure.n_sites());
    const double sphere = 4.0 / 3.0 * std::numbers::pi * cutoff * cutoff * cutoff;
    const double pairs = n * n * sphere / volume(structure) / 2.0;
    // Written so that NaN, and anything compute_rdf refuses, is not brief.
    return pairs + n + cutoff / bin_size <= kBriefWork;
}

double estimated_search_work(const HalfStencil& stencil, const CellList& grid, std::size_t n_sites) {
    const double per_cell = static_cast<double>(n_sites) / static_cast<double>(grid.cell_count());
    return static_cast<double>(n_sites) * stencil.cells_per_centre() * (1.0 + per_cell);
}

double estimated_search_work(const CellList& grid, std::size_t n_sites) {
    const double offsets = (2.0 * static_cast<double>(grid.reach_a) + 1.0) *
                           (2.0 * static_cast<double>(grid.reach_b) + 1.0) *
                           (2.0 * static_cast<double>(grid.reach_c) + 1.0);
    const double per_cell = static_cast<double>(n_sites) / static_cast<double>(grid.cell_count());
    return static_cast<double>(n_sites) * (offsets + 1.0) / 2.0 * (1.0 + per_cell);
}

namespace {

// compute_rdf on `pool`, or on this thread alone as a pool of one worker
// would run it when `pool` is null.
Result<RdfResult> compute_rdf_on(ThreadPool* pool, const Structure& structure, double cutoff, double bin_size,
                                 std::stop_token stop) {
    Result<RdfBins> bins = rdf_bins(cutoff, bin_size);
    if (!bins) return bins.take_error();
    const std::uint64_t n_bins = bins->n_bins;
    // A NaN or infinite coordinate has no place in the cell grid; leaving the
    // site out would return curves that look fine and are wrong.
    SpeciesTable species = flatten_species(structure, pool);
    if (const std::size_t bad = species.first_non_finite_site; bad < structure.n_sites())
        return fail("the coordinates of site " + std::to_string(bad) + " are not all finite numbers");
    RdfResult out;
    out.elements = species.elements;
    const std::size_t n_el = out.elements.size();

    // Each piece in flight holds a whole histogram; there are at most about
    // two per worker (one running, one waiting to be merged), and never more
    // pieces than centres.
    const double pieces =
        2.0 * static_cast<double>(std::min<std::uint64_t>(worker_count(pool), structure.n_sites())) + 1.0;
    const double doubles = static_cast<double>(n_bins) * (static_cast<double>(n_el * n_el) * (pieces + 1.0) + 3.0);
    if (doubles * 8.0 > kHistogramMemoryLimit)
        return fail_limit("cutoff and bin_size give " + std::to_string(n_bins) + " bins, too many for " +
                          std::to_string(n_el) + (n_el == 1 ? " element" : " elements") + " on " +
                          std::to_string(worker_count(pool)) +
                          (worker_count(pool) == 1 ? " worker thread" : " worker threads") +
                          ": the histograms would need more than 4 GiB");

    out.edges = edges_of(*bins);
    out.r.assign(out.edges.begin(), out.edges.end() - 1);
    // A slanted cell is searched in a better basis of the same lattice.
    std::optional<ReducedCell> reduced = reduce_for_search(structure.lattice(), structure.sites());
    const Lattice& search_lattice = reduced ? reduced->lattice : structure.lattice();
    // A hair beyond the cutoff, so that a pair on it counts however its
    // distance rounds (the bins' tolerance at their edges).
    const double reach = search_reach(cutoff);
    const CellList grid =
        grid_shape(search_lattice, reach, grid_subdivisions(structure.n_sites() / volume(structure), cutoff));
    const HalfStencil stencil(grid, search_lattice, reach);
    const double work = estimated_search_work(stencil, grid, structure.n_sites());
    if (!(work <= kMaxSearchWork))
        return fail_limit(
            "the cutoff reaches too many periodic images of this cell: the neighbour search would make "
            "about " +
            scientific(work) + " distance tests, more than the limit of " + scientific(kMaxSearchWork));
    Result<GroupedSites> grouped = group_by_cell(
        grid, search_lattice, WrappedCoordinates{structure.sites(), reduced ? &reduced->wrapped : nullptr}, pool);
    if (!grouped) return grouped.error();

    const PairLoop loop(search_lattice, reach, grid, std::move(*grouped), stencil, species, out.edges, n_el, pool,
                        stop);
    // Small work stays on this thread: waking the workers would cost more
    // than they could save.
    if (work < kSerialSearchWork) pool = nullptr;
    PairHistogram histogram = run_piece(loop, pool, 0, loop.sites.size(), worker_count(pool), false);
    if (stop.stop_requested()) return fail(kInterruptedMessage);
    const UnitCorrections corrections = add_unit_pair_corrections(
        structure, species, reach, UniformShells(out.edges[1], static_cast<std::uint32_t>(n_bins)), histogram);
    histogram.symmetrise();
    clear_cancelled_counts(corrections, histogram);

    normalise(histogram, shell_volumes(out.edges), species.element_totals, species.total_occupancy, out);
    return out;
}

}  // namespace

Result<RdfResult> compute_rdf(const Structure& structure, double cutoff, double bin_size, std::stop_token stop) {
    Result<ThreadPool*> pool = pool_in_charge();
    if (!pool) return pool.error();
    return compute_rdf_on(*pool, structure, cutoff, bin_size, std::move(stop));
}

Result<RdfResult> rdf_with_threads(const Structure& structure, double cutoff, double bin_size, std::uint64_t n_threads,
                                   std::stop_token stop) {
    if (n_threads == 0) return compute_rdf(structure, cutoff, bin_size, stop);
    // One worker of our own would do what this thread can do without
    // starting it.
    if (n_threads == 1) return compute_rdf_on(nullptr, structure, cutoff, bin_size, std::move(stop));

    const std::size_t workers = static_cast<std::size_t>(std::min<std::uint64_t>(n_threads, kMaxWorkers));
    Result<std::unique_ptr<ThreadPool>> pool = ThreadPool::start(workers, n_threads);
    if (!pool) return pool.error();
    std::optional<Result<RdfResult>> out;
    (*pool)->run([&](bool) { out.emplace(compute_rdf(structure, cutoff, bin_size, stop)); });
    // A pool serves one call: its workers are stopped and joined here.
    pool->reset();
    return std::move(*out);
}

}  // namespace kestrel
