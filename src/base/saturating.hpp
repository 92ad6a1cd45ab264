// Unsigned arithmetic that stops at the largest value instead of wrapping.
// Counts read from files can be absurd; a saturated total is still "too
// many", where a wrapped one would pass for a small number.
#pragma once

#include <cstdint>
#include <limits>

namespace kestrel {

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return a > most - b ? most : a + b;
}

}  // namespace kestrel
