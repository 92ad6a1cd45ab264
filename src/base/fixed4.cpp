#include "base/fixed4.hpp"

#include <charconv>
#include <cmath>

namespace kestrel {

std::string format_fixed4(double value) {
    // A NaN's sign bit means nothing, and "-nan" reads like a value.
    if (std::isnan(value)) return "nan";
    // to_chars with an explicit precision rounds the exact binary value, which
    // is what the messages promise; printf would depend on the C locale.
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
    if (ec != std::errc{}) return "nan";
    return std::string(buffer, end);
}

}  // namespace kestrel
