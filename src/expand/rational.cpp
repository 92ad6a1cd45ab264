#include "expand/rational.hpp"

#include <cmath>
#include <limits>
#include <map>

namespace kestrel::expand {

std::uint64_t best_denominator(double x, std::uint64_t max_denominator) {
    std::uint64_t best_q = 1;
    double best_err = std::numeric_limits<double>::infinity();
    for (std::uint64_t q = 1; q <= max_denominator; ++q) {
        const double v = x * static_cast<double>(q);
        const double err = std::fabs(v - std::round(v)) / static_cast<double>(q);
        if (err < best_err - 1e-12) {
            best_q = q;
            best_err = err;
            if (err < 1e-9) break;
        }
        if (q == std::numeric_limits<std::uint64_t>::max()) break;
    }
    return best_q;
}

namespace {

std::uint64_t gcd(std::uint64_t a, std::uint64_t b) {
    while (b != 0) {
        const std::uint64_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

}  // namespace

std::uint64_t saturating_lcm(std::uint64_t a, std::uint64_t b) {
    if (a == kSaturated || b == kSaturated) return kSaturated;
    if (a == 0 || b == 0) return 0;
    const std::uint64_t reduced = a / gcd(a, b);
    if (reduced > kSaturated / b) return kSaturated;
    return reduced * b;
}

std::uint64_t exact_multiplier(const Structure& structure, std::uint64_t max_denominator) {
    // Large structures repeat a handful of occupancies, and with a large
    // bound each search may be long: remember the answers.
    std::map<double, std::uint64_t> known;
    auto denominator = [&](double x) {
        auto [slot, fresh] = known.try_emplace(x, 0);
        if (fresh) slot->second = best_denominator(x, max_denominator);
        return slot->second;
    };
    std::uint64_t multiplier = 1;
    for (const Site& site : structure.sites()) {
        if (site_is_ordered(site)) continue;
        for (const SpeciesOccupancy& entry : site.species)
            if (entry.occupancy > 0.0 && entry.occupancy < 1.0)
                multiplier = saturating_lcm(multiplier, denominator(entry.occupancy));
        const double total = site_occupancy(site);
        // The vacant share 1 - t has the same denominator as t.
        if (total < 0.999999) multiplier = saturating_lcm(multiplier, denominator(total));
    }
    return multiplier;
}

namespace {

// True when n^3 > limit, without overflowing.
bool cube_exceeds(std::uint64_t n, std::uint64_t limit) {
    if (n == 0) return false;
    if (n > kSaturated / n) return true;
    const std::uint64_t square = n * n;
    if (square > kSaturated / n) return true;
    return square * n > limit;
}

// floor(cbrt(m)), exact for every 64-bit m: the double estimate is off by at
// most one or two, and the walks correct it.
std::uint64_t integer_cube_root(std::uint64_t m) {
    auto root = static_cast<std::uint64_t>(std::cbrt(static_cast<double>(m)));
    while (root > 0 && cube_exceeds(root, m)) --root;
    while (!cube_exceeds(root + 1, m)) ++root;
    return root;
}

}  // namespace

std::uint64_t choose_multiplier(std::uint64_t exact, std::uint64_t n_sites, std::uint64_t max_sites) {
    if (n_sites == 0) n_sites = 1;
    // n_sites * n^3 <= max_sites holds exactly when n^3 <= floor(max_sites / n_sites).
    std::uint64_t n = integer_cube_root(max_sites / n_sites);
    if (n > exact) n = exact;
    return n < 1 ? 1 : n;
}

}  // namespace kestrel::expand
