#include "scattering/bragg.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <span>
#include <string>

#include "parallel/chunks.hpp"
#include "parallel/with_threads.hpp"
#include "rdf/rdf.hpp"
#include "scattering/gaussian_sums.hpp"

namespace kestrel {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Below this many (reflection, site) terms one thread does it all: waking
// the workers would cost more than they save.
constexpr double kSerialTerms = 2e6;

// Reflections whose lengths agree to this fraction of the reach make one
// powder line; a line is spread once however many reflections it holds.
constexpr double kSameLine = 1e-10;

// Per site the phases e^{2πi n x} along one axis for n in [lo, hi], n-major
// so that the sites of one n lie together.
struct PhaseTable {
    int lo = 0;
    std::size_t n_sites = 0;
    std::vector<double> re, im;

    PhaseTable(const AverageCell& cell, int axis, int first, int last)
        : lo(first), n_sites(cell.n_sites()), re(static_cast<std::size_t>(last - first + 1) * n_sites), im(re.size()) {
        for (int n = first; n <= last; ++n)
            for (std::size_t site = 0; site < n_sites; ++site) {
                const double phase = kTwoPi * static_cast<double>(n) * cell.frac[site][axis];
                re[offset(n) + site] = std::cos(phase);
                im[offset(n) + site] = std::sin(phase);
            }
    }
    std::size_t offset(int n) const { return static_cast<std::size_t>(n - lo) * n_sites; }
};

// The occupied (site, occupancy) of each element.
struct ElementSites {
    std::vector<std::vector<std::uint32_t>> site;
    std::vector<std::vector<double>> occupancy;
};

ElementSites element_sites(const AverageCell& cell) {
    ElementSites out;
    out.site.resize(cell.n_elements);
    out.occupancy.resize(cell.n_elements);
    for (std::size_t i = 0; i < cell.n_sites(); ++i)
        for (std::size_t e = 0; e < cell.n_elements; ++e)
            if (const double o = cell.occupancy_of(i)[e]; o != 0.0) {
                out.site[e].push_back(static_cast<std::uint32_t>(i));
                out.occupancy[e].push_back(o);
            }
    return out;
}

// What the reflection loop reads: the reciprocal basis, the index bounds
// and the phase tables.
struct ReciprocalCell {
    std::array<Vec3, 3> b{};  // G = h b0 + k b1 + l b2
    std::array<int, 3> limit{};
    double reach = 0.0;
    std::size_t n_el = 0, n_rows = 0;
};

// The lengths of one piece's reflections and, per reflection, Re F_A F_B*
// for A <= B (A-major).
struct ReflectionList {
    std::vector<double> length;
    std::vector<double> products;
};

// The reflections of one (h, k) row with one of each pair ±G: l over the
// sphere's chord, l > 0 where h = k = 0.
void add_row(const ReciprocalCell& rc, const ElementSites& elements, const PhaseTable& x, const PhaseTable& y,
             const PhaseTable& z, int h, int k, std::vector<double>& a_re, std::vector<double>& a_im,
             std::vector<double>& p_re, std::vector<double>& p_im, std::vector<double>& f, ReflectionList& out) {
    const Vec3 g0 = static_cast<double>(h) * rc.b[0] + static_cast<double>(k) * rc.b[1];
    const double bb = dot(rc.b[2], rc.b[2]), gb = dot(g0, rc.b[2]);
    const double disc = gb * gb - bb * (dot(g0, g0) - rc.reach * rc.reach);
    if (disc < 0.0) return;
    int l_lo = std::max(-rc.limit[2], static_cast<int>(std::ceil((-gb - std::sqrt(disc)) / bb)));
    const int l_hi = std::min(rc.limit[2], static_cast<int>(std::floor((-gb + std::sqrt(disc)) / bb)));
    if (h == 0 && k == 0) l_lo = std::max(l_lo, 1);
    if (l_lo > l_hi) return;
    const std::size_t n = x.n_sites;
    const double *xr = x.re.data() + x.offset(h), *xi = x.im.data() + x.offset(h);
    const double *yr = y.re.data() + y.offset(k), *yi = y.im.data() + y.offset(k);
    for (std::size_t s = 0; s < n; ++s) {
        a_re[s] = xr[s] * yr[s] - xi[s] * yi[s];
        a_im[s] = xr[s] * yi[s] + xi[s] * yr[s];
    }
    for (int l = l_lo; l <= l_hi; ++l) {
        const double length = std::sqrt(norm(g0 + static_cast<double>(l) * rc.b[2]));
        if (length > rc.reach || length == 0.0) continue;
        const double *zr = z.re.data() + z.offset(l), *zi = z.im.data() + z.offset(l);
        for (std::size_t s = 0; s < n; ++s) {
            p_re[s] = a_re[s] * zr[s] - a_im[s] * zi[s];
            p_im[s] = a_re[s] * zi[s] + a_im[s] * zr[s];
        }
        for (std::size_t e = 0; e < rc.n_el; ++e) {
            double re = 0.0, im = 0.0;
            const std::vector<std::uint32_t>& sites = elements.site[e];
            const std::vector<double>& occupancy = elements.occupancy[e];
            for (std::size_t j = 0; j < sites.size(); ++j) {
                re += occupancy[j] * p_re[sites[j]];
                im += occupancy[j] * p_im[sites[j]];
            }
            f[2 * e] = re;
            f[2 * e + 1] = im;
        }
        out.length.push_back(length);
        for (std::size_t a = 0; a < rc.n_el; ++a)
            for (std::size_t b = a; b < rc.n_el; ++b)
                out.products.push_back(f[2 * a] * f[2 * b] + f[2 * a + 1] * f[2 * b + 1]);
    }
}

// The reflections with h in [h_begin, h_end).
ReflectionList reflections_of(const ReciprocalCell& rc, const ElementSites& elements, const PhaseTable& x,
                              const PhaseTable& y, const PhaseTable& z, int h_begin, int h_end,
                              const std::stop_token& stop) {
    ReflectionList out;
    const std::size_t n = x.n_sites;
    std::vector<double> a_re(n), a_im(n), p_re(n), p_im(n), f(2 * rc.n_el);
    for (int h = h_begin; h < h_end; ++h)
        for (int k = h == 0 ? 0 : -rc.limit[1]; k <= rc.limit[1]; ++k) {
            if (stop.stop_requested()) return out;
            add_row(rc, elements, x, y, z, h, k, a_re, a_im, p_re, p_im, f, out);
        }
    return out;
}

// Bragg lines: distinct lengths, each with its reflections' products summed.
struct Lines {
    std::vector<double> centre;
    std::vector<double> products;  // n_rows per line
};

Lines lines_of(const std::vector<ReflectionList>& pieces, std::size_t n_rows, double reach) {
    std::vector<std::pair<double, const double*>> all;
    for (const ReflectionList& piece : pieces)
        for (std::size_t r = 0; r < piece.length.size(); ++r)
            all.emplace_back(piece.length[r], piece.products.data() + r * n_rows);
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Lines out;
    const double same = kSameLine * std::max(reach, 1.0);
    for (std::size_t r = 0; r < all.size(); ++r) {
        if (out.centre.empty() || all[r].first - out.centre.back() > same) {
            out.centre.push_back(all[r].first);
            out.products.resize(out.products.size() + n_rows, 0.0);
        }
        double* into = out.products.data() + out.products.size() - n_rows;
        for (std::size_t p = 0; p < n_rows; ++p) into[p] += all[r].second[p];
    }
    return out;
}

// The Q values ascending, as their positions in q.
std::vector<std::size_t> ascending_order(const std::vector<double>& q) {
    std::vector<std::size_t> order(q.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return q[a] < q[b]; });
    return order;
}

// Σ_lines area [N(Q; G, σ) − N(Q; −G, σ)] / Q at the ascending Q values, by
// the engine's Gaussian peak sum; at Q = 0 its limit, the slope at 0.
Result<std::vector<double>> resolved_lines(const std::vector<double>& centre, const std::vector<double>& area,
                                           const std::vector<double>& sorted_q, double sigma, ThreadPool* pool) {
    std::vector<double> centres, weights;
    for (std::size_t line = 0; line < centre.size(); ++line) {
        centres.push_back(centre[line]);
        weights.push_back(area[line]);
        // The mirror peak at −G reaches Q >= 0 only for the lowest lines.
        if (centre[line] < kBraggPeakReach * sigma) {
            centres.push_back(-centre[line]);
            weights.push_back(-area[line]);
        }
    }
    const std::vector<double> sigmas(centres.size(), sigma);
    Result<std::vector<double>> sums =
        gaussian_peak_sums(GaussianPeaks{centres, weights, sigmas}, sorted_q, kBraggPeakReach, pool);
    if (!sums) return sums;
    const double inverse_root_two_pi = 0.5 * std::numbers::inv_sqrtpi * std::numbers::sqrt2;
    for (std::size_t i = 0; i < sorted_q.size(); ++i) {
        if (sorted_q[i] > 0.0) {
            (*sums)[i] /= sorted_q[i];
            continue;
        }
        double slope = 0.0;
        for (std::size_t line = 0; line < centre.size(); ++line) {
            const double d = centre[line] / sigma;
            if (d <= kBraggPeakReach)
                slope += area[line] * 2.0 * d / (sigma * sigma) * std::exp(-0.5 * d * d) * inverse_root_two_pi;
        }
        (*sums)[i] = slope;
    }
    return sums;
}

// With no resolution each line is shared between the two Q values around it
// (linearly), divided by the width each stands for under the trapezoidal
// rule, so that the integral over Q keeps its area.
std::vector<double> sharp_lines(const std::vector<double>& centre, const std::vector<double>& area,
                                const std::vector<double>& sorted_q) {
    const std::size_t n = sorted_q.size();
    std::vector<double> out(n, 0.0);
    if (n < 2) return out;
    std::vector<double> width(n);
    width[0] = 0.5 * (sorted_q[1] - sorted_q[0]);
    width[n - 1] = 0.5 * (sorted_q[n - 1] - sorted_q[n - 2]);
    for (std::size_t i = 1; i + 1 < n; ++i) width[i] = 0.5 * (sorted_q[i + 1] - sorted_q[i - 1]);
    for (std::size_t line = 0; line < centre.size(); ++line) {
        const double c = centre[line];
        if (c < sorted_q.front() || c > sorted_q.back()) continue;
        std::size_t right =
            static_cast<std::size_t>(std::upper_bound(sorted_q.begin(), sorted_q.end(), c) - sorted_q.begin());
        right = std::clamp<std::size_t>(right, 1, n - 1);
        const std::size_t left = right - 1;
        const double span = sorted_q[right] - sorted_q[left];
        const double t = span > 0.0 ? (c - sorted_q[left]) / span : 0.0;
        for (const auto& [at, share] : {std::pair{left, 1.0 - t}, std::pair{right, t}})
            if (width[at] > 0.0) out[at] += area[line] * share / width[at] / std::max(sorted_q[at], 1e-300);
    }
    return out;
}

std::optional<StructureError> check_arguments(const AverageCell& cell, const std::vector<double>& q,
                                              const BraggSettings& settings) {
    for (std::size_t k = 0; k < q.size(); ++k)
        if (!(std::isfinite(q[k]) && q[k] >= 0.0))
            return fail_argument("q must hold finite values of at least 0; value " + std::to_string(k) + " is " +
                                 std::to_string(q[k]));
    // The elements are those u names.
    if (cell.occupancy.size() != cell.n_sites() * cell.n_elements || settings.u.size() != cell.n_elements)
        return fail_argument("occupancy must hold one value per site and element");
    for (const double u : settings.u)
        if (!(std::isfinite(u) && u > 0.0)) return fail_argument("u must hold positive numbers of Å²");
    if (!(std::isfinite(settings.qdamp) && settings.qdamp >= 0.0))
        return fail_argument("qdamp must be a non-negative number");
    for (std::size_t site = 0; site < cell.n_sites(); ++site) {
        const Vec3& x = cell.frac[site];
        if (!(std::isfinite(x[0]) && std::isfinite(x[1]) && std::isfinite(x[2])))
            return fail("the coordinates of site " + std::to_string(site) + " are not all finite numbers");
        const double* row = cell.occupancy_of(site);
        for (std::size_t e = 0; e < cell.n_elements; ++e)
            if (!std::isfinite(row[e]))
                return fail("the occupancies of site " + std::to_string(site) + " are not finite");
    }
    return std::nullopt;
}

Result<BraggSums> bragg_sums_on(ThreadPool* pool, const AverageCell& given, const std::vector<double>& q,
                                const BraggSettings& settings, const std::stop_token& stop) {
    if (std::optional<StructureError> error = check_arguments(given, q, settings)) return std::move(*error);
    if (Result<Lattice> lattice = make_lattice(given.lattice); !lattice) return lattice.take_error();
    const RepeatingCell repeating = smallest_repeating_cell(given);
    const AverageCell& cell = repeating.cell;
    Result<Lattice> lattice = make_lattice(cell.lattice);
    if (!lattice) return lattice.take_error();

    ReciprocalCell rc;
    rc.n_el = cell.n_elements;
    rc.n_rows = rc.n_el * (rc.n_el + 1) / 2;
    rc.reach = (q.empty() ? 0.0 : *std::max_element(q.begin(), q.end())) + kBraggPeakReach * settings.qdamp;
    const Mat3& inverse = lattice->inverse();
    for (int j = 0; j < 3; ++j) rc.b[j] = kTwoPi * Vec3{inverse[0][j], inverse[1][j], inverse[2][j]};
    for (int axis = 0; axis < 3; ++axis)
        rc.limit[axis] = static_cast<int>(std::floor(rc.reach * length(cell.lattice[axis]) / kTwoPi));
    const double table_entries =
        static_cast<double>(cell.n_sites()) * (rc.limit[0] + 1.0 + 2.0 * rc.limit[1] + 1.0 + 2.0 * rc.limit[2] + 1.0);
    if (table_entries * 16.0 > kBraggTableMemoryLimit || rc.limit[0] > 1'000'000)
        return fail_limit("the Bragg reflections of a cell of " + std::to_string(cell.n_sites()) +
                          " sites up to Q = " + std::to_string(rc.reach) + " Å⁻¹ would need more than 2 GiB");

    BraggSums out;
    out.copies = repeating.copies;
    out.pairs.assign(q.size() * rc.n_el * rc.n_el, 0.0);
    double atoms = 0.0;
    for (const double o : cell.occupancy) atoms += o;
    if (cell.n_sites() == 0 || !(atoms > 0.0)) return out;

    const PhaseTable x(cell, 0, 0, rc.limit[0]), y(cell, 1, -rc.limit[1], rc.limit[1]),
        z(cell, 2, -rc.limit[2], rc.limit[2]);
    const ElementSites elements = element_sites(cell);
    const double terms = (rc.limit[0] + 1.0) * (2.0 * rc.limit[1] + 1.0) * (2.0 * rc.limit[2] + 1.0) *
                         static_cast<double>(cell.n_sites());
    ThreadPool* work_pool = terms < kSerialTerms ? nullptr : pool;
    const auto n_h = static_cast<std::size_t>(rc.limit[0] + 1);
    // Pieces beyond the workers let idle ones take from busy ones (the rows
    // near h = 0 cross the sphere's widest part).
    const std::size_t chunks = work_pool == nullptr ? 1 : std::min(n_h, 4 * work_pool->size());
    std::vector<ReflectionList> pieces(chunks);
    for_each_chunk(work_pool, chunks, [&](std::size_t c) {
        pieces[c] = reflections_of(rc, elements, x, y, z, static_cast<int>(chunk_begin(n_h, chunks, c)),
                                   static_cast<int>(chunk_begin(n_h, chunks, c + 1)), stop);
    });
    if (stop.stop_requested()) return fail(kInterruptedMessage);
    for (const ReflectionList& piece : pieces) out.reflections += 2 * piece.length.size();
    const Lines lines = lines_of(pieces, rc.n_rows, rc.reach);
    pieces.clear();

    const double volume = std::fabs(dot(cell.lattice[0], cross(cell.lattice[1], cell.lattice[2])));
    const double scale = std::pow(kTwoPi, 3) / (4.0 * std::numbers::pi * volume * atoms);
    const std::vector<std::size_t> order = ascending_order(q);
    std::vector<double> sorted_q(q.size());
    for (std::size_t i = 0; i < q.size(); ++i) sorted_q[i] = q[order[i]];
    std::vector<double> area(lines.centre.size());
    std::size_t row = 0;
    for (std::size_t a = 0; a < rc.n_el; ++a)
        for (std::size_t b = a; b < rc.n_el; ++b, ++row) {
            const double pair_u = settings.u[a] + settings.u[b];
            for (std::size_t line = 0; line < lines.centre.size(); ++line) {
                const double g = lines.centre[line];
                // Each listed reflection stands for G and −G.
                area[line] = scale * 2.0 * lines.products[line * rc.n_rows + row] / g * std::exp(-0.5 * pair_u * g * g);
            }
            std::vector<double> spread;
            if (settings.qdamp > 0.0) {
                Result<std::vector<double>> resolved =
                    resolved_lines(lines.centre, area, sorted_q, settings.qdamp, work_pool);
                if (!resolved) return resolved.take_error();
                spread = std::move(*resolved);
            } else {
                spread = sharp_lines(lines.centre, area, sorted_q);
            }
            for (std::size_t i = 0; i < q.size(); ++i) {
                const std::size_t at = order[i] * rc.n_el * rc.n_el;
                out.pairs[at + a * rc.n_el + b] = spread[i];
                out.pairs[at + b * rc.n_el + a] = spread[i];
            }
        }
    return out;
}

}  // namespace

Result<BraggSums> bragg_sums(const AverageCell& cell, const std::vector<double>& q, const BraggSettings& settings,
                             std::stop_token stop) {
    return run_with_threads<BraggSums>(settings.n_threads,
                                       [&](ThreadPool* pool) { return bragg_sums_on(pool, cell, q, settings, stop); });
}

}  // namespace kestrel
