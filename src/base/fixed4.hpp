// Four-decimal fixed-point text used in messages, the printed form and pool keys.
#pragma once

#include <string>

namespace kestrel {

// Exactly four digits after the point, correctly rounded from the double's
// exact binary value with ties to even (1.25 -> "1.2500", 1.23456 -> "1.2346").
std::string format_fixed4(double value);

}  // namespace kestrel
