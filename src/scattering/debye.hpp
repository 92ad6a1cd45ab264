// The Debye scattering equation of a finite cluster: every pair of atoms at
// its own distance, no periodic images, with the expected pair weights of a
// disordered cluster. What comes out are Q-independent sums per element
// pair; the form factors f_A(Q), which differ between X-rays and neutrons
// and come from a table, are applied by the caller:
//
//     I(Q) = sum_A self_A f_A(Q)^2 + sum_{A <= B} pairs_AB(Q) f_A(Q) f_B(Q).
//
// Weights, as the expectation over the disorder model: a site scatters with
// itself as sum_s o_s f_s^2 (its species never coexist, so they are never
// paired); two alternatives of one unit never coexist (weight 0); two sites
// of one alternative come and go together (min(o_i, o_j) per species pair,
// as the pair distribution function weighs them); any other two sites are
// independent, (sum o f)(sum o f).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "model/structure.hpp"

namespace kestrel {

class ThreadPool;

// Å: the default spacing of the distance grid of the binned sum. Each pair's
// weight is shared between its two neighbouring grid points in proportion to
// its nearness (linear interpolation of sin(Qr)/(Qr) in r), so a pair's error
// is at most w^2/8 |d^2/dr^2 sin(Qr)/(Qr)|, which grows as w^2 Q. Crystalline
// particles are the hard case (their pairs sit on few distances, so the
// errors add up instead of averaging out): 22-30 A particles of Cu and NaCl
// from Q = 0.1 to 25 A^-1 stay within 4e-7 of the exact curve's maximum at
// 0.002 A, the forward peak being that maximum. Without it the margin is
// smaller: a 36 A Cu particle (neutron, no displacements) from Q = 0.5 to 25
// stays within 4.2e-5 of its largest Bragg peak at 0.002 A, 9.9e-6 at
// 0.001 A, 6e-7 at 0.00025 A (the error falls as w^2). A finer grid costs
// only memory and the Q sum (n_bins x n_Q), not the pair loop.
inline constexpr double kDefaultDebyeBinWidth = 0.002;

// The binned Q sum walks sin(Q k w) by rotating each Q's phase one grid
// step at a time; it is seeded afresh from sin and cos every this many steps
// so that rounding cannot pile up along the grid.
inline constexpr std::size_t kDebyeReseedSteps = 512;

// The histograms of one call may take at most this much memory.
constexpr double kDebyeHistogramMemoryLimit = 2.0 * 1024 * 1024 * 1024;

struct DebyeSettings {
    double bin_width = kDefaultDebyeBinWidth;  // Å; unused when exact
    bool exact = false;                        // sum every pair at every Q, no grid
    std::uint64_t n_threads = 0;               // 0: the default pool; 1: this thread alone
};

struct DebyeSums {
    std::vector<std::string> elements;  // every element named, in ascending byte order
    // Per element: the occupancies summed over the sites, the weight of f_A^2.
    std::vector<double> self;
    // Row p per unordered element pair (A <= B, A-major over the upper
    // triangle), n_q values each: the sum over ordered pairs of two distinct
    // sites (A on the first and B on the second, or B and A) of the pair's
    // weight times sin(Q r)/(Q r).
    std::vector<double> pairs;
    std::size_t n_q = 0;
    std::uint64_t site_pairs = 0;  // unordered pairs of sites summed
};

// The row of the unordered element pair (a, b) among n_el elements.
inline std::size_t element_pair_row(std::size_t a, std::size_t b, std::size_t n_el) {
    if (a > b) std::swap(a, b);
    return a * n_el - a * (a + 1) / 2 + b;
}

// The sums of the cluster at the given Q (Å^-1, each finite and >= 0).
// Sites are where their stored coordinates put them in the structure's
// lattice, which only frames them. The work runs on the pool n_threads
// names (see rdf_with_threads); once `stop` is requested it ends with
// kInterruptedMessage.
Result<DebyeSums> debye_sums(const Structure& cluster, const std::vector<double>& q, const DebyeSettings& settings,
                             std::stop_token stop = {});

// sum_k counts[row * n_bins + k] sin(Q k w)/(Q k w) for each row and Q (the
// term k = 0 counts whole): the Q sum of a histogram on the grid k w.
// Row-major rows x n_q; on `pool` when given.
std::vector<double> sinc_sums(const std::vector<double>& counts, std::size_t n_rows, double width,
                              const std::vector<double>& q, ThreadPool* pool);

}  // namespace kestrel
