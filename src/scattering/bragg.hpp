// The Bragg part of a crystal's total scattering: the pairs of the infinite
// average crystal summed in reciprocal space, reflection by reflection, each
// Bragg line a peak of the instrument's resolution. What comes out is per
// element pair and Q-independent in its scattering powers; the caller
// applies the form factors, takes away each site's pairing with itself and
// adds the pairs of units of correlated disorder:
//
//     B_AB(Q) = (2π)³ / (4π V N) Σ_G 2 Re F_A(G) F_B(G)* e^{−(U_A + U_B) G²/2}
//               × [N(Q; G, qdamp) − N(Q; −G, qdamp)] / (Q G),
//
// over one of each pair ±G, with F_A(G) = Σ_i o_iA e^{i G·r_i} over the
// sites of the cell, V its volume and N its atoms (occupancies summed).
// Nothing is cut off in r, so there are no truncation ripples.
//
// The cost is reflections × sites. A supercell that repeats a smaller cell
// is summed over the smallest such cell (see repeating_cell.hpp), whose
// reflections are the only ones that do not cancel: the result is the same
// and the cost that of the small cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <vector>

#include "base/error.hpp"
#include "scattering/repeating_cell.hpp"

namespace kestrel {

// A Bragg peak is summed out to this many standard deviations of the resolution.
inline constexpr double kBraggPeakReach = 8.0;

// The phase tables of one call (per site, one entry per Miller index along
// each axis) may take at most this much memory.
constexpr double kBraggTableMemoryLimit = 2.0 * 1024 * 1024 * 1024;

struct BraggSettings {
    std::vector<double> u;        // per element, Å²: the isotropic displacement parameter
    double qdamp = 0.0;           // Å⁻¹: the resolution; 0 keeps each peak's area on the two Q points around it
    std::uint64_t n_threads = 0;  // 0: the default pool; 1: this thread alone
};

struct BraggSums {
    std::uint64_t reflections = 0;  // G and −G counted apart, of the cell summed
    std::uint64_t copies = 1;       // of the cell summed in the given one
    // n_q x n_el x n_el, symmetric in A and B, per atom of the crystal.
    std::vector<double> pairs;
};

// B_AB at each Q (Å⁻¹, finite and >= 0, any order). Once `stop` is
// requested it ends with kInterruptedMessage.
Result<BraggSums> bragg_sums(const AverageCell& cell, const std::vector<double>& q, const BraggSettings& settings,
                             std::stop_token stop = {});

}  // namespace kestrel
