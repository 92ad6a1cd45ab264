// The exact fast path of number parsing, inline because every reader parses
// coordinates by the million.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrel::detail {

// Kept apart from base/ascii.hpp so that text.hpp, which every reader
// includes, brings no more names along than its own.
inline bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

// Clinger's fast path: a literal of at most 19 digits whose integer value m
// is below 2^53, scaled by 10^k with |k| <= 22, is one correctly rounded
// product or quotient of two exactly representable doubles, so the result is
// the nearest double. Anything else (or anything malformed) is left to the
// full routine.
inline bool fast_decimal(std::string_view body, double& out) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const std::size_t size = body.size();
    std::size_t i = 0;
    std::uint64_t mantissa = 0;
    std::size_t digits = 0, fraction_digits = 0;
    bool point = false;
    // No test per digit: a mantissa of more than 19 digits may wrap here,
    // but is then refused as a whole.
    for (; i < size; ++i) {
        const char c = body[i];
        if (is_decimal_digit(c)) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            ++digits;
            fraction_digits += point;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0 || digits > 19) return false;
    int exponent = 0;
    if (i < size) {
        if (body[i] != 'e' && body[i] != 'E') return false;
        ++i;
        bool negative = false;
        if (i < size && (body[i] == '+' || body[i] == '-')) negative = body[i++] == '-';
        int exponent_digits = 0;
        for (; i < size && is_decimal_digit(body[i]); ++i) {
            if (++exponent_digits > 3) return false;
            exponent = exponent * 10 + (body[i] - '0');
        }
        if (exponent_digits == 0 || i != size) return false;
        if (negative) exponent = -exponent;
    }
    if (mantissa > (std::uint64_t{1} << 53)) return false;
    const int scale = exponent - static_cast<int>(fraction_digits);
    if (scale < -22 || scale > 22) return false;
    const auto value = static_cast<double>(mantissa);
    out = scale >= 0 ? value * kPowers[scale] : value / kPowers[-scale];
    return true;
}

}  // namespace kestrel::detail
