// Uniform distance shells [k w, (k + 1) w) for k = 0 ... count - 1, the
// last one closed at count * w: the bins an RDF counts pairs into. The edges
// are k * w as doubles, computed exactly as the histogram's bin edges are,
// so a distance lands in the same shell whichever way it is found.
#pragma once

#include <cstdint>

namespace kestrel {

struct UniformShells {
    double width;         // w
    double inverse;       // 1 / w, rounded: a first guess only, the edges decide
    std::uint32_t count;  // shells; the RDF keeps this far below 2^31

    double edge(double k) const { return k * width; }
};

// The shell holding r >= 0: the largest k with edge(k) <= r, except that r
// equal to the last edge belongs to the last shell. `count` when r lies
// beyond the last edge.
inline std::uint32_t shell_of(double r, const UniformShells& shells) {
    const double n = static_cast<double>(shells.count);
    const double guess = r * shells.inverse;
    // The guess is within one of the answer: its error is a few units in
    // the last place of at most `count`, far below one.
    double k = guess < n ? static_cast<double>(static_cast<std::uint32_t>(guess)) : n;
    if (k > 0.0 && shells.edge(k) > r) k -= 1.0;
    else if (k < n && shells.edge(k + 1.0) <= r) k += 1.0;
    if (k == n && r == shells.edge(n)) k -= 1.0;
    return static_cast<std::uint32_t>(k);
}

}  // namespace kestrel
