// Uniform distance shells: the bins an RDF counts pairs into, and the one
// rule that puts a distance into a shell. Every place that bins a distance
// (the pair loop's kernels, the correlated-disorder correction) asks
// shell_of, so a distance lands in the same shell whichever way it is found.
//
// The rule is [k w, (k + 1) w), the last shell closed at count * w, with a
// tolerance at the edges: a distance within a relative kEdgeTolerance below
// an edge counts as lying on it, so it goes to the upper shell (and one
// within the tolerance past the last edge still counts in the last shell).
// A pair distance carries rounding of a few units in the last place, and
// which few depends on the image and on the cell that describes the
// crystal: an fcc cell of 3.6 A has whole shells of pairs at 3.6 and 7.2 A,
// which would otherwise split between two bins depending on the cell. The
// tolerance is far above that rounding, even for cells hundreds of
// angstroms long, and far below any difference of lengths that means
// something (1e-9 A at 10 A).
#pragma once

#include <cstdint>

namespace kestrel {

inline constexpr double kEdgeTolerance = 1e-10;

// The shells compare a pair's distance times this with the edges.
inline constexpr double kEdgeStretch = 1.0 + kEdgeTolerance;

// The largest distance a search for pairs within `cutoff` must accept so
// that a pair on the cutoff counts however its distance rounds.
inline double search_reach(double cutoff) {
    return cutoff * (1.0 + 2.0 * kEdgeTolerance);
}

struct UniformShells {
    double width;         // w
    double inverse;       // 1 / w, rounded: a first guess only, the edges decide
    std::uint32_t count;  // shells; the RDF keeps this far below 2^31
    // The largest r * kEdgeStretch the last shell holds: its edge, with the
    // tolerance on both sides.
    double last_reach;

    UniformShells(double width_, std::uint32_t count_)
        : width(width_),
          inverse(1.0 / width_),
          count(count_),
          last_reach(static_cast<double>(count_) * width_ * (1.0 + 2.0 * kEdgeTolerance)) {}

    double edge(double k) const { return k * width; }
};

// The shell of a pair at distance r >= 0: the largest k with
// edge(k) <= r * kEdgeStretch, and the last shell for a distance within
// the tolerance of the last edge; `count` beyond that.
inline std::uint32_t shell_of(double r, const UniformShells& shells) {
    const double s = r * kEdgeStretch;
    const double n = static_cast<double>(shells.count);
    const double guess = s * shells.inverse;
    // The guess is within one of the answer: its error is a few units in
    // the last place of at most `count`, far below one.
    double k = guess < n ? static_cast<double>(static_cast<std::uint32_t>(guess)) : n;
    if (k > 0.0 && shells.edge(k) > s) k -= 1.0;
    else if (k < n && shells.edge(k + 1.0) <= s) k += 1.0;
    if (k == n && s <= shells.last_reach) k -= 1.0;
    return static_cast<std::uint32_t>(k);
}

}  // namespace kestrel
