// The exact fast path of number parsing, inline because every reader parses
// coordinates by the million.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kestrel::detail {

// Kept apart from base/ascii.hpp so that text.hpp, which every reader
// includes, brings no more names along than its own.
inline bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

// Eight ASCII digits read as one little-endian word: a coordinate written
// with eight decimals costs two multiplies instead of a step per digit.
inline bool are_eight_digits(std::uint64_t word) {
    return (((word + 0x4646464646464646) | (word - 0x3030303030303030)) & 0x8080808080808080) == 0;
}

inline std::uint64_t eight_digits_value(std::uint64_t word) {
    constexpr std::uint64_t kPairs = 0x000000FF000000FF;
    constexpr std::uint64_t kHigh = 100 + (std::uint64_t{1000000} << 32);
    constexpr std::uint64_t kLow = 1 + (std::uint64_t{10000} << 32);
    word -= 0x3030303030303030;
    word = word * 10 + (word >> 8);  // each byte pair now holds its two-digit value
    return (((word & kPairs) * kHigh + ((word >> 16) & kPairs) * kLow) >> 32) & 0xFFFFFFFF;
}

// The digits from `p` on, appended to `mantissa`; returns where they end.
// More than 19 digits may wrap the mantissa: callers count the digits and
// refuse such literals.
inline const char* read_decimal_digits(const char* p, const char* end, std::uint64_t& mantissa) {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (!are_eight_digits(word)) break;
            mantissa = mantissa * 100000000 + eight_digits_value(word);
            p += 8;
        }
    }
    for (; p < end && is_decimal_digit(*p); ++p) mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
    return p;
}

// Clinger's fast path on the decimal literal (optional sign, digits with at
// most one point, optional exponent of up to three digits) at the start of
// [begin, end): one of at most 19 digits whose integer value m is at most
// 2^53, scaled by 10^k with |k| <= 22, is one correctly rounded product or
// quotient of two exactly representable doubles, so the result is the
// nearest double. Returns the length of the literal read into `out`, or 0
// when the fast path does not apply and the full routine must decide. What
// follows the literal is the caller's to check.
inline std::size_t fast_decimal_prefix(const char* begin, const char* end, double& out) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char* p = begin;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    std::uint64_t mantissa = 0;
    const char* digits_start = p;
    // Whole parts are short in coordinates: a step per digit, no wider try.
    for (; p < end && is_decimal_digit(*p); ++p) mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
    std::size_t digits = static_cast<std::size_t>(p - digits_start), fraction_digits = 0;
    if (p < end && *p == '.') {
        const char* fraction = ++p;
        p = read_decimal_digits(p, end, mantissa);
        fraction_digits = static_cast<std::size_t>(p - fraction);
        digits += fraction_digits;
    }
    if (digits == 0 || digits > 19) return 0;
    int exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative_exponent = false;
        if (p < end && (*p == '+' || *p == '-')) negative_exponent = *p++ == '-';
        int exponent_digits = 0;
        for (; p < end && is_decimal_digit(*p); ++p) {
            if (++exponent_digits > 3) return 0;
            exponent = exponent * 10 + (*p - '0');
        }
        if (exponent_digits == 0) return 0;
        if (negative_exponent) exponent = -exponent;
    }
    if (mantissa > (std::uint64_t{1} << 53)) return 0;
    const int scale = exponent - static_cast<int>(fraction_digits);
    if (scale < -22 || scale > 22) return 0;
    const auto value = static_cast<double>(mantissa);
    // A quotient, not a product with 10^-k: that power is not a double, and
    // the product would be off by an ulp for some literals.
    const double magnitude = scale >= 0 ? value * kPowers[scale] : value / kPowers[-scale];
    out = negative ? -magnitude : magnitude;
    return static_cast<std::size_t>(p - begin);
}

// The fast path on a whole unsigned literal; false leaves it to the full
// routine.
inline bool fast_decimal(std::string_view body, double& out) {
    if (body.empty() || body[0] == '+' || body[0] == '-') return false;
    return fast_decimal_prefix(body.data(), body.data() + body.size(), out) == body.size();
}

}  // namespace kestrel::detail
