#include "scattering/debye.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>

#include "parallel/chunks.hpp"
#include "parallel/pool.hpp"
#include "parallel/with_threads.hpp"
#include "rdf/histogram.hpp"
#include "rdf/rdf.hpp"
#include "rdf/unit_pairs.hpp"

namespace kestrel {
namespace {

// Partners of one centre whose distances are worked out together before
// their weights are added: a loop over plain arrays the compiler vectorises.
constexpr std::size_t kPartnerBlock = 256;

// Below this many site pairs the loop stays on the calling thread: waking
// the workers would cost more than they save.
constexpr double kSerialPairs = 2e5;

// The cluster as the pair loop reads it: Cartesian coordinates in three
// arrays, the flattened species and the row of each ordered element pair.
struct Cluster {
    std::vector<double> x, y, z;
    SpeciesTable species;
    std::size_t n_el = 0;
    std::size_t n_rows = 0;
    std::vector<std::uint32_t> row_of;  // a * n_el + b -> element_pair_row(a, b)

    std::size_t size() const { return x.size(); }
    std::size_t first_entry(std::size_t site) const { return species.one_per_site ? site : species.offsets[site]; }
    std::size_t end_entry(std::size_t site) const {
        return species.one_per_site ? site + 1 : species.offsets[site + 1];
    }
};

Result<Cluster> cluster_of(const Structure& structure, ThreadPool* pool) {
    Cluster out;
    const std::size_t n = structure.n_sites();
    out.x.resize(n);
    out.y.resize(n);
    out.z.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 at = structure.lattice().to_cartesian(structure.sites()[i].frac);
        if (!(std::isfinite(at[0]) && std::isfinite(at[1]) && std::isfinite(at[2])))
            return fail("the coordinates of site " + std::to_string(i) + " are not all finite numbers");
        out.x[i] = at[0];
        out.y[i] = at[1];
        out.z[i] = at[2];
    }
    out.species = flatten_species(structure, pool);
    out.n_el = out.species.elements.size();
    out.n_rows = out.n_el * (out.n_el + 1) / 2;
    out.row_of.resize(out.n_el * out.n_el);
    for (std::size_t a = 0; a < out.n_el; ++a)
        for (std::size_t b = 0; b < out.n_el; ++b)
            out.row_of[a * out.n_el + b] = static_cast<std::uint32_t>(element_pair_row(a, b, out.n_el));
    return out;
}

// The length of the bounding box's diagonal: no two sites lie further apart.
double largest_distance(const Cluster& cluster) {
    if (cluster.size() == 0) return 0.0;
    const auto span = [](const std::vector<double>& v) {
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        return *hi - *lo;
    };
    return std::hypot(span(cluster.x), span(cluster.y), span(cluster.z));
}

// Pair weights on the grid k w: each pair shared between its two
// neighbouring grid points, linearly in its distance.
struct GridSink {
    std::size_t n_bins = 0;
    double inverse_width = 0.0;
    std::vector<double> counts;  // rows x n_bins

    GridSink(std::size_t rows, std::size_t bins, double width)
        : n_bins(bins), inverse_width(1.0 / width), counts(rows * bins, 0.0) {}

    void add(std::size_t row, double r, double weight) {
        const double at = r * inverse_width;
        const auto k = static_cast<std::size_t>(at);
        const double upper = weight * (at - static_cast<double>(k));
        double* slot = counts.data() + row * n_bins + k;
        slot[0] += weight - upper;
        slot[1] += upper;
    }
    void merge(const GridSink& other) {
        for (std::size_t k = 0; k < counts.size(); ++k) counts[k] += other.counts[k];
    }
};

// Every pair at every Q, the exact sum.
struct ExactSink {
    const std::vector<double>* q = nullptr;
    std::vector<double> sums;  // rows x n_q
    std::vector<double> sinc;  // of the pair being added

    ExactSink(std::size_t rows, const std::vector<double>& q_values)
        : q(&q_values), sums(rows * q_values.size(), 0.0), sinc(q_values.size()) {}

    void add(std::size_t row, double r, double weight) {
        const std::size_t n_q = q->size();
        for (std::size_t k = 0; k < n_q; ++k) {
            const double x = (*q)[k] * r;
            sinc[k] = x == 0.0 ? 1.0 : std::sin(x) / x;
        }
        double* out = sums.data() + row * n_q;
        for (std::size_t k = 0; k < n_q; ++k) out[k] += weight * sinc[k];
    }
    void merge(const ExactSink& other) {
        for (std::size_t k = 0; k < sums.size(); ++k) sums[k] += other.sums[k];
    }
};

// The pairs (i, j), i in [begin, end), j > i, each in both orders, weighed
// as independent sites; pairs within a unit are put right afterwards.
template <class Sink>
void add_pairs(const Cluster& cluster, std::size_t begin, std::size_t end, Sink& sink, const std::stop_token& stop) {
    const std::size_t n = cluster.size();
    const SpeciesTable& species = cluster.species;
    const bool single_whole = cluster.n_el == 1 && species.one_per_site && species.whole_atoms;
    double r[kPartnerBlock];
    for (std::size_t i = begin; i < end; ++i) {
        if (i % 64 == 0 && stop.stop_requested()) return;
        const double xi = cluster.x[i], yi = cluster.y[i], zi = cluster.z[i];
        for (std::size_t start = i + 1; start < n; start += kPartnerBlock) {
            const std::size_t count = std::min(kPartnerBlock, n - start);
            const double* xs = cluster.x.data() + start;
            const double* ys = cluster.y.data() + start;
            const double* zs = cluster.z.data() + start;
            for (std::size_t b = 0; b < count; ++b) {
                const double dx = xs[b] - xi, dy = ys[b] - yi, dz = zs[b] - zi;
                r[b] = std::sqrt(dx * dx + dy * dy + dz * dz);
            }
            if (single_whole) {
                // One element of whole atoms: every pair has the same row and weight.
                for (std::size_t b = 0; b < count; ++b) sink.add(0, r[b], 2.0);
                continue;
            }
            if (species.one_per_site) {
                const std::uint32_t* row_of = cluster.row_of.data() + species.element[i] * cluster.n_el;
                const double twice = 2.0 * species.occupancy[i];
                for (std::size_t b = 0; b < count; ++b)
                    sink.add(row_of[species.element[start + b]], r[b], twice * species.occupancy[start + b]);
                continue;
            }
            for (std::size_t b = 0; b < count; ++b) {
                const std::size_t j = start + b;
                for (std::size_t s = cluster.first_entry(i); s < cluster.end_entry(i); ++s)
                    for (std::size_t t = cluster.first_entry(j); t < cluster.end_entry(j); ++t)
                        sink.add(cluster.row_of[species.element[s] * cluster.n_el + species.element[t]], r[b],
                                 2.0 * species.occupancy[s] * species.occupancy[t]);
            }
        }
    }
}

// For the pairs of sites within one unit: their unit weight less the product
// weight add_pairs gave them.
template <class Sink>
void add_unit_corrections(const Structure& structure, const Cluster& cluster, Sink& sink) {
    if (structure.units().empty()) return;
    const SpeciesTable& species = cluster.species;
    for (const std::vector<UnitMember>& members : unit_members(structure.units()))
        for (std::size_t m = 0; m < members.size(); ++m)
            for (std::size_t n = m + 1; n < members.size(); ++n) {
                const std::size_t i = members[m].site, j = members[n].site;
                const double dx = cluster.x[j] - cluster.x[i], dy = cluster.y[j] - cluster.y[i],
                             dz = cluster.z[j] - cluster.z[i];
                const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
                const bool same = members[m].alternative == members[n].alternative;
                for (std::size_t s = cluster.first_entry(i); s < cluster.end_entry(i); ++s)
                    for (std::size_t t = cluster.first_entry(j); t < cluster.end_entry(j); ++t) {
                        const double oi = species.occupancy[s], oj = species.occupancy[t];
                        sink.add(cluster.row_of[species.element[s] * cluster.n_el + species.element[t]], r,
                                 2.0 * (unit_pair_weight(same, oi, oj) - oi * oj));
                    }
            }
}

// Centre rows cut so that each piece holds about the same number of pairs
// (row i pairs with the n - 1 - i sites after it).
std::vector<std::size_t> piece_bounds(std::size_t n, std::size_t pieces) {
    const auto before = [n](std::size_t i) {
        return static_cast<double>(i) * (2.0 * static_cast<double>(n) - static_cast<double>(i) - 1.0) / 2.0;
    };
    const double total = before(n);
    std::vector<std::size_t> bounds{0};
    for (std::size_t c = 1; c < pieces; ++c) {
        const double target = total * static_cast<double>(c) / static_cast<double>(pieces);
        std::size_t lo = bounds.back(), hi = n;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (before(mid) < target) lo = mid + 1;
            else hi = mid;
        }
        bounds.push_back(lo);
    }
    bounds.push_back(n);
    return bounds;
}

// Pieces [lo, hi) of the bounds, forked over the pool, each into a sink of
// its own; the halves' sinks are merged as they finish.
template <class Sink, class MakeSink>
Sink run_pieces(const Cluster& cluster, const std::vector<std::size_t>& bounds, std::size_t lo, std::size_t hi,
                ThreadPool* pool, const MakeSink& make, const std::stop_token& stop) {
    if (hi - lo == 1 || pool == nullptr) {
        Sink sink = make();
        add_pairs(cluster, bounds[lo], bounds[hi], sink, stop);
        return sink;
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    std::optional<Sink> left, right;
    pool->join([&](bool) { left.emplace(run_pieces<Sink>(cluster, bounds, lo, mid, pool, make, stop)); },
               [&](bool) { right.emplace(run_pieces<Sink>(cluster, bounds, mid, hi, pool, make, stop)); });
    left->merge(*right);
    return std::move(*left);
}

template <class Sink, class MakeSink>
Sink all_pairs(const Structure& structure, const Cluster& cluster, ThreadPool* pool, std::size_t pieces,
               const MakeSink& make, const std::stop_token& stop) {
    const std::vector<std::size_t> bounds = piece_bounds(cluster.size(), std::max<std::size_t>(pieces, 1));
    Sink sink = run_pieces<Sink>(cluster, bounds, 0, bounds.size() - 1, pool, make, stop);
    add_unit_corrections(structure, cluster, sink);
    return sink;
}

std::size_t worker_count(const ThreadPool* pool) {
    return pool == nullptr ? 1 : pool->size();
}

Result<DebyeSums> debye_sums_on(ThreadPool* pool, const Structure& structure, const std::vector<double>& q,
                                const DebyeSettings& settings, const std::stop_token& stop) {
    for (std::size_t k = 0; k < q.size(); ++k)
        if (!(std::isfinite(q[k]) && q[k] >= 0.0))
            return fail_argument("q must hold finite values of at least 0; value " + std::to_string(k) + " is " +
                                 std::to_string(q[k]));
    if (!settings.exact && !(std::isfinite(settings.bin_width) && settings.bin_width > 0.0))
        return fail_argument("bin_width must be a positive number of Å");
    Result<Cluster> cluster = cluster_of(structure, pool);
    if (!cluster) return cluster.error();

    DebyeSums out;
    out.elements = cluster->species.elements;
    out.self = cluster->species.element_totals;
    out.n_q = q.size();
    const auto n = static_cast<double>(cluster->size());
    out.site_pairs = static_cast<std::uint64_t>(n * (n - 1.0) / 2.0);
    if (static_cast<double>(out.site_pairs) < kSerialPairs) pool = nullptr;
    // Pieces beyond the workers let idle ones steal from busy ones.
    const std::size_t pieces = std::min<std::size_t>(cluster->size(), 4 * worker_count(pool));
    // At most about two sinks per worker are alive at once (one filling, one
    // waiting to be merged), and the result.
    const double sinks = 2.0 * static_cast<double>(std::min(worker_count(pool), pieces)) + 1.0;

    if (settings.exact) {
        const double bytes = sinks * static_cast<double>(cluster->n_rows * q.size()) * 8.0;
        if (bytes > kDebyeHistogramMemoryLimit)
            return fail_limit("the exact sums of " + std::to_string(q.size()) + " Q values would need more than 2 GiB");
        ExactSink sink = all_pairs<ExactSink>(
            structure, *cluster, pool, pieces, [&] { return ExactSink(cluster->n_rows, q); }, stop);
        if (stop.stop_requested()) return fail(kInterruptedMessage);
        out.pairs = std::move(sink.sums);
        return out;
    }

    const double width = settings.bin_width;
    const double bins = std::floor(largest_distance(*cluster) / width) + 2.0;
    if (sinks * bins * static_cast<double>(cluster->n_rows) * 8.0 > kDebyeHistogramMemoryLimit)
        return fail_limit("the cluster spans " + std::to_string(largest_distance(*cluster)) +
                          " Å: a distance grid of bin_width " + std::to_string(width) + " Å for " +
                          std::to_string(cluster->n_rows) +
                          " element pairs would need more than 2 GiB; use a larger bin_width");
    const auto n_bins = static_cast<std::size_t>(bins);
    GridSink sink = all_pairs<GridSink>(
        structure, *cluster, pool, pieces, [&] { return GridSink(cluster->n_rows, n_bins, width); }, stop);
    if (stop.stop_requested()) return fail(kInterruptedMessage);
    out.pairs = sinc_sums(sink.counts, cluster->n_rows, width, q, pool);
    return out;
}

// The Q values [begin, end) of sinc_sums, every row at once.
void sinc_sums_of(const std::vector<double>& counts, std::size_t n_rows, double width, const std::vector<double>& q,
                  std::size_t begin, std::size_t end, std::vector<double>& out) {
    const std::size_t n_bins = counts.size() / std::max<std::size_t>(n_rows, 1);
    const std::size_t n_q = q.size();
    const std::size_t m = end - begin;
    // Per Q: the phase Q k w as (cosine, sine), rotated by one step each bin.
    std::vector<double> cosine(m), sine(m), step_cos(m), step_sin(m), sums(n_rows * m, 0.0);
    for (std::size_t p = 0; p < m; ++p) {
        step_cos[p] = std::cos(q[begin + p] * width);
        step_sin[p] = std::sin(q[begin + p] * width);
    }
    std::vector<double> amplitude(n_rows);
    for (std::size_t k = 1; k < n_bins; ++k) {
        if ((k - 1) % kDebyeReseedSteps == 0)
            for (std::size_t p = 0; p < m; ++p) {
                const double phase = q[begin + p] * static_cast<double>(k) * width;
                cosine[p] = std::cos(phase);
                sine[p] = std::sin(phase);
            }
        bool any = false;
        for (std::size_t row = 0; row < n_rows; ++row) {
            amplitude[row] = counts[row * n_bins + k] / (static_cast<double>(k) * width);
            any = any || amplitude[row] != 0.0;
        }
        if (any)
            for (std::size_t row = 0; row < n_rows; ++row) {
                const double a = amplitude[row];
                if (a == 0.0) continue;
                double* into = sums.data() + row * m;
                for (std::size_t p = 0; p < m; ++p) into[p] += a * sine[p];
            }
        for (std::size_t p = 0; p < m; ++p) {
            const double c = cosine[p], s = sine[p];
            cosine[p] = c * step_cos[p] - s * step_sin[p];
            sine[p] = s * step_cos[p] + c * step_sin[p];
        }
    }
    for (std::size_t row = 0; row < n_rows; ++row) {
        const double* h = counts.data() + row * n_bins;
        double whole = 0.0;  // Q = 0: every term counts whole
        for (std::size_t k = 0; k < n_bins; ++k) whole += h[k];
        for (std::size_t p = 0; p < m; ++p) {
            const double at = q[begin + p];
            out[row * n_q + begin + p] = at == 0.0 ? whole : h[0] + sums[row * m + p] / at;
        }
    }
}

}  // namespace

std::vector<double> sinc_sums(const std::vector<double>& counts, std::size_t n_rows, double width,
                              const std::vector<double>& q, ThreadPool* pool) {
    std::vector<double> out(n_rows * q.size(), 0.0);
    const double work = static_cast<double>(counts.size()) * static_cast<double>(q.size());
    // Q values are independent: each chunk of them is a task of its own.
    const std::size_t chunks =
        work < 1e6 || pool == nullptr ? 1 : std::clamp<std::size_t>(q.size() / 16, 1, pool->size());
    for_each_chunk(chunks == 1 ? nullptr : pool, chunks, [&](std::size_t c) {
        sinc_sums_of(counts, n_rows, width, q, chunk_begin(q.size(), chunks, c), chunk_begin(q.size(), chunks, c + 1),
                     out);
    });
    return out;
}

Result<DebyeSums> debye_sums(const Structure& cluster, const std::vector<double>& q, const DebyeSettings& settings,
                             std::stop_token stop) {
    return run_with_threads<DebyeSums>(
        settings.n_threads, [&](ThreadPool* pool) { return debye_sums_on(pool, cluster, q, settings, stop); });
}

}  // namespace kestrel
