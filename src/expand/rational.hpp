// Rational approximation of occupancies and the choice of the n x n x n
// supercell that the expansion builds.
#pragma once

#include <cstdint>

#include "model/structure.hpp"

namespace kestrel::expand {

inline constexpr std::uint64_t kSaturated = UINT64_MAX;

// Denominator of the best fraction p/q approximating x with 1 <= q <= max(1,
// max_denominator). A later q must beat the best so far by more than 1e-12,
// so the smallest of equally good denominators wins; the search stops at the
// first q within 1e-9.
std::uint64_t best_denominator(double x, std::uint64_t max_denominator);

// lcm(a, b); kSaturated when the true value does not fit in 64 bits (and
// when either argument already is kSaturated), never a wrapped value.
std::uint64_t saturating_lcm(std::uint64_t a, std::uint64_t b);

// The multiplier L that would turn every occupancy, and every site's vacant
// share, into whole atoms: the lcm of their best denominators. Saturates at
// kSaturated rather than wrapping.
std::uint64_t exact_multiplier(const Structure& structure, std::uint64_t max_denominator);

// The largest n in 1..L with n_sites * n^3 <= max_sites, or 1 if none.
std::uint64_t choose_multiplier(std::uint64_t exact, std::uint64_t n_sites, std::uint64_t max_sites);

}  // namespace kestrel::expand
