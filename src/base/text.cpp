#include "base/text.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "base/ascii.hpp"

namespace kestrel {
namespace {

bool is_ascii_space(unsigned char c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20;
}

// Checks the decimal literal grammar and, for values from_chars reports as
// out of range, tells overflow from underflow by the decimal exponent of the
// first significant digit.
struct DecimalShape {
    bool valid = false;
    bool all_zero = true;
    bool magnitude_large = false;  // meaningful only when out of range
};

DecimalShape decimal_shape(std::string_view body) {
    DecimalShape shape;
    std::size_t i = 0, digits = 0, integer_digits = 0, fraction_digits = 0;
    bool seen_point = false;
    // Where the first nonzero digit stands: its index among the integer
    // digits, or its (1-based) place after the point.
    std::optional<std::size_t> lead_integer_index, lead_fraction_place;
    for (; i < body.size(); ++i) {
        const char c = body[i];
        if (is_ascii_digit(c)) {
            ++digits;
            if (seen_point) ++fraction_digits;
            else ++integer_digits;
            if (c != '0' && !lead_integer_index && !lead_fraction_place) {
                if (seen_point) lead_fraction_place = fraction_digits;
                else lead_integer_index = integer_digits - 1;
            }
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
    }
    if (digits == 0) return shape;
    long long exponent = 0;
    if (i < body.size()) {
        if (body[i] != 'e' && body[i] != 'E') return shape;
        ++i;
        bool negative = false;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) negative = body[i++] == '-';
        std::size_t exponent_digits = 0;
        for (; i < body.size() && is_ascii_digit(body[i]); ++i, ++exponent_digits)
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (body[i] - '0');
        if (exponent_digits == 0 || i != body.size()) return shape;
        if (negative) exponent = -exponent;
    }
    shape.valid = true;
    shape.all_zero = !lead_integer_index && !lead_fraction_place;
    long long lead_power = 0;
    if (lead_integer_index) lead_power = static_cast<long long>(integer_digits - 1 - *lead_integer_index);
    if (lead_fraction_place) lead_power = -static_cast<long long>(*lead_fraction_place);
    shape.magnitude_large = !shape.all_zero && lead_power + exponent > 0;
    return shape;
}

}  // namespace

bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::size_t detail::multibyte_space_length_at(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[pos + k]); };
    const std::size_t left = text.size() - pos;
    const unsigned char lead = byte(0);
    if (lead < 0x80) return (lead >= 0x09 && lead <= 0x0D) || lead == 0x20 ? 1 : 0;
    // The multi-byte spaces start with C2, E1, E2 or E3; those are lead bytes,
    // so matching at any byte offset of valid UTF-8 finds only whole characters.
    if (lead == 0xC2) return left >= 2 && (byte(1) == 0x85 || byte(1) == 0xA0) ? 2 : 0;
    if (left < 3) return 0;
    if (lead == 0xE1) return byte(1) == 0x9A && byte(2) == 0x80 ? 3 : 0;
    if (lead == 0xE2) {
        if (byte(1) == 0x80)
            return (byte(2) >= 0x80 && byte(2) <= 0x8A) || byte(2) == 0xA8 || byte(2) == 0xA9 || byte(2) == 0xAF ? 3
                                                                                                                 : 0;
        return byte(1) == 0x81 && byte(2) == 0x9F ? 3 : 0;
    }
    if (lead == 0xE3) return byte(1) == 0x80 && byte(2) == 0x80 ? 3 : 0;
    return 0;
}

std::string_view trim_start(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && !is_visible_ascii(text[pos])) {
        const std::size_t space = space_length_at(text, pos);
        if (space == 0) break;
        pos += space;
    }
    return text.substr(pos);
}

std::string_view trim_end(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0) {
        const auto last = static_cast<unsigned char>(text[end - 1]);
        if (last < 0x80) {
            if (!is_ascii_space(last)) break;
            --end;
            continue;
        }
        // Step back over continuation bytes to the lead byte of the last character.
        std::size_t lead = end - 1;
        while (lead > 0 && end - lead < 4 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
        if (space_length_at(text, lead) != end - lead) break;
        end = lead;
    }
    return text.substr(0, end);
}

std::string_view trim(std::string_view text) {
    return trim_end(trim_start(text));
}

std::string_view take_line(std::string_view& rest) {
    const std::size_t feed = rest.find('\n');
    if (feed == std::string_view::npos) {
        const std::string_view line = rest;
        rest = {};
        return line;
    }
    std::string_view line = rest.substr(0, feed);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    rest.remove_prefix(feed + 1);
    return line;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) lines.push_back(take_line(text));
    return lines;
}

bool ends_with_line_end(std::string_view text) {
    return !text.empty() && (text.back() == '\n' || text.back() == '\r');
}

std::string unended_last_line_message(std::string_view where) {
    return "the file ends without a line end " + std::string(where) +
           ", so its last value may be cut short; end the file with a line end if it is complete";
}

bool holds_non_whitespace(std::string_view text) {
    std::string_view rest = text;
    return !next_token(rest).empty();
}

std::string_view next_token(std::string_view& rest) {
    const std::size_t size = rest.size();
    std::size_t pos = 0;
    while (pos < size) {
        const auto byte = static_cast<unsigned char>(rest[pos]);
        if (byte < 0x80) {
            if (!is_ascii_space(byte)) break;
            ++pos;
            continue;
        }
        const std::size_t space = space_length_at(rest, pos);
        if (space == 0) break;
        pos += space;
    }
    const std::size_t start = pos;
    while (pos < size) {
        const auto byte = static_cast<unsigned char>(rest[pos]);
        if (byte < 0x80 ? is_ascii_space(byte) : space_length_at(rest, pos) != 0) break;
        ++pos;
    }
    std::string_view token = rest.substr(start, pos - start);
    rest.remove_prefix(pos);
    return token;
}

std::vector<std::string_view> split_tokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    for (std::string_view token = next_token(line); !token.empty(); token = next_token(line)) tokens.push_back(token);
    return tokens;
}

std::vector<std::string_view> split_on(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) break;
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::optional<double> detail::parse_number_slow(std::string_view body, bool negative) {
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity"))
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    if (equals_ignoring_case(body, "nan"))
        return negative ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
    const DecimalShape shape = decimal_shape(body);
    if (!shape.valid) return std::nullopt;
    double value = 0.0;
    // from_chars is exact (nearest, ties to even) and ignores the C locale.
    auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        value = shape.magnitude_large ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc{} || end != body.data() + body.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::string number_error_message(std::string_view token) {
    return "expected a number, found '" + std::string(token) + "'";
}

Result<double> parse_number(std::string_view token) {
    std::optional<double> value = try_parse_number(token);
    if (!value) return fail(number_error_message(token));
    return *value;
}

Result<std::vector<double>> parse_numbers(const std::vector<std::string_view>& tokens) {
    std::vector<double> values;
    values.reserve(tokens.size());
    for (std::string_view token : tokens) {
        Result<double> value = parse_number(token);
        if (!value) return value.take_error();
        values.push_back(*value);
    }
    return values;
}

std::optional<std::uint64_t> parse_count(std::string_view token) {
    if (!token.empty() && token[0] == '+') token.remove_prefix(1);
    if (token.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : token) {
        if (!is_ascii_digit(c)) return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string element_symbol(std::string_view token) {
    if (token.empty() || !is_ascii_letter(token[0])) return std::string(token);
    std::string symbol(1, ascii_upper(token[0]));
    if (token.size() > 1 && token[1] >= 'a' && token[1] <= 'z') symbol += token[1];
    return symbol;
}

}  // namespace kestrel
