// The generator of annealing chains: the expansion's, with draws below k by
// a multiply (a division per draw would cost as much as the rest of a trial).
#pragma once

#include <cstdint>

#include "expand/rng.hpp"

namespace kestrel::order {

class ChainRng {
public:
    explicit ChainRng(std::uint64_t seed) : rng_(seed) {}
    std::uint32_t below(std::uint32_t k) {
        return static_cast<std::uint32_t>(((rng_.next() >> 32) * static_cast<std::uint64_t>(k)) >> 32);
    }
    double uniform() { return static_cast<double>(rng_.next() >> 11) * 0x1.0p-53; }
    std::uint64_t next() { return rng_.next(); }

private:
    expand::ExpansionRng rng_;
};

}  // namespace kestrel::order
