// Text primitives shared by every reader: whitespace, lines, tokens,
// numbers, counts and element symbols. Lines and tokens are views into the
// caller's text; nothing is copied until a value is stored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/fast_decimal.hpp"

namespace kestrel {

namespace detail {
std::size_t multibyte_space_length_at(std::string_view text, std::size_t pos);
std::optional<double> parse_number_slow(std::string_view body, bool negative);
}  // namespace detail

// Unicode White_Space, one code point.
bool is_space(char32_t c);

// Length in bytes of the whitespace character that starts at `pos` of UTF-8
// text, or 0 when the character there is not whitespace. ASCII is decided
// in line: the tokenisers of every reader call this once per byte.
inline std::size_t space_length_at(std::string_view text, std::size_t pos) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) return byte == ' ' || (byte >= 0x09 && byte <= 0x0D) ? 1 : 0;
    return detail::multibyte_space_length_at(text, pos);
}

std::string_view trim(std::string_view text);
std::string_view trim_start(std::string_view text);
std::string_view trim_end(std::string_view text);

// Cut after every LF (a CR right before it goes too); no empty last line.
std::vector<std::string_view> split_lines(std::string_view text);

// The first line of `rest`, which is advanced past it, as split_lines cuts
// them: for walking a large text without a view per line held at once.
std::string_view take_line(std::string_view& rest);

// Whether the text's last line ends with a line end (LF, or the CR of old
// files). A file cut at a byte offset usually does not, and then its last
// value may be cut too: '0.1234' read as '0.12', 'Ca' as 'C'.
bool ends_with_line_end(std::string_view text);

// The refusal of a last line that a reader needs whole but that has no line
// end: "the file ends without a line end {where}, so its last value may be
// cut short; end the file with a line end if it is complete".
std::string unended_last_line_message(std::string_view where);

// Whether a text holds anything but whitespace (ASCII and the Unicode
// spaces): a file that starts with a megabyte of blanks holds no structure.
bool holds_non_whitespace(std::string_view text);

// Maximal runs of non-whitespace.
std::vector<std::string_view> split_tokens(std::string_view line);

// The next token of `rest`, which is advanced past it; empty at the end.
// Lets hot loops tokenise without allocating.
std::string_view next_token(std::string_view& rest);

// Pieces between occurrences of `separator`, empty pieces kept.
std::vector<std::string_view> split_on(std::string_view text, char separator);

// The number grammar: optional sign, then a decimal literal (digits with at
// most one point, at least one digit, optional exponent) or inf, infinity,
// nan in any case. Nearest double, ties to even; overflow gives an infinity
// and underflow zero. Inline because coordinates are parsed by the million:
// the common short decimals are done here, everything else out of line.
inline std::optional<double> try_parse_number(std::string_view token) {
    bool negative = false;
    std::string_view body = token;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (double fast = 0.0; detail::fast_decimal(body, fast)) return negative ? -fast : fast;
    return detail::parse_number_slow(body, negative);
}

// As above, failing with "expected a number, found '{token}'".
Result<double> parse_number(std::string_view token);
Result<std::vector<double>> parse_numbers(const std::vector<std::string_view>& tokens);

// An optional '+' and ASCII digits that fit in 64 bits.
std::optional<std::uint64_t> parse_count(std::string_view token);

// 'Fe', 'fe', 'Fe2+' -> "Fe"; 'FE' -> "F"; a token not starting with an
// ASCII letter is kept whole.
std::string element_symbol(std::string_view token);

std::string number_error_message(std::string_view token);

}  // namespace kestrel
