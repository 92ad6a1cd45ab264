// Fractional coordinates wrapped into the unit cell.
#pragma once

#include <cmath>

namespace kestrel {

// Into [0, 1). v - floor(v) of a tiny negative v rounds up to exactly 1.0,
// which would put a point one cell past the end; that case is 0.
inline double wrap_unit(double v) {
    const double wrapped = v - std::floor(v);
    return wrapped >= 1.0 ? 0.0 : wrapped;
}

}  // namespace kestrel
