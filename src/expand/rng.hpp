// The seeded generator of the expansion: xorshift64* with the (12, 25, 27)
// shift triple. Small, fast and identical on every platform, which is what
// lets a seed reproduce an arrangement anywhere.
#pragma once

#include <cstdint>

namespace kestrel::expand {

class ExpansionRng {
public:
    static constexpr std::uint64_t kMultiplier = 0x2545F4914F6CDD1DULL;

    // A zero state would stay zero for ever, so seed 0 starts from 1.
    explicit ExpansionRng(std::uint64_t seed) : state_(seed * kMultiplier) {
        if (state_ == 0) state_ = 1;
    }

    std::uint64_t state() const { return state_; }

    std::uint64_t next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * kMultiplier;
    }

    // Plain remainder: the bias is below 2^-40 for any pool that fits in
    // memory, and rejection sampling would change the draw count per pool.
    std::uint64_t below(std::uint64_t k) { return next() % k; }

private:
    std::uint64_t state_;
};

}  // namespace kestrel::expand
