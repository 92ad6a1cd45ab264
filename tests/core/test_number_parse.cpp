#include <doctest/doctest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/fast_decimal.hpp"
#include "base/line_tokens.hpp"
#include "base/text.hpp"

using namespace kestrel;

namespace {

// The C library's correctly rounded conversion, the reference every fast
// path must match to the bit.
double reference(const std::string& text) {
    return std::strtod(text.c_str(), nullptr);
}

void check_exact(const std::string& text) {
    const std::optional<double> parsed = try_parse_number(text);
    REQUIRE_MESSAGE(parsed.has_value(), text);
    CHECK_MESSAGE(std::bit_cast<std::uint64_t>(*parsed) == std::bit_cast<std::uint64_t>(reference(text)), text);
    double fast = 0.0;
    const std::size_t length = detail::fast_decimal_prefix(text.data(), text.data() + text.size(), fast);
    if (length != 0)
        CHECK_MESSAGE(
            std::bit_cast<std::uint64_t>(fast) == std::bit_cast<std::uint64_t>(reference(text.substr(0, length))),
            text);
}

std::string random_digits(std::mt19937_64& random, std::size_t count) {
    std::string digits;
    for (std::size_t i = 0; i < count; ++i) digits += static_cast<char>('0' + random() % 10);
    return digits;
}

}  // namespace

TEST_CASE("numbers read to the bit of the correctly rounded conversion") {
    // Around 2^53, the largest powers of ten that are exact, the widths of
    // the eight-digit steps, and literals the fast path must leave alone.
    for (const char* text : {"0",
                             "-0",
                             "+0.0",
                             "0.1",
                             "0.3",
                             "1.7976931348623157e308",
                             "4.9e-324",
                             "9007199254740992",
                             "9007199254740993",
                             "900719925474099.3",
                             "9007199254740992e-22",
                             "9007199254740993e-22",
                             "1e22",
                             "1e23",
                             "1e-22",
                             "1e-23",
                             "123456789e-22",
                             "1.5e+022",
                             "7.",
                             ".5",
                             "12345678",
                             "1234567.8",
                             "0.12345678",
                             "0.123456789",
                             "12345678.12345678",
                             "1234567890123456789",
                             "12345678901234567890",
                             "0.0000000000000000001",
                             "99999999.99999999",
                             "3.14159265358979323846",
                             "-2.50000000",
                             "1E5",
                             "2e-0",
                             "6.02214076e23",
                             "1.00000000000000011102230246251565404236316680908203125",
                             "2.2250738585072014e-308"})
        check_exact(text);

    std::mt19937_64 random(20261208);
    for (int trial = 0; trial < 200000; ++trial) {
        std::string text;
        if (random() % 4 == 0) text += random() % 2 ? '-' : '+';
        const std::size_t whole = random() % 12, fraction = random() % 14;
        text += random_digits(random, whole);
        if (fraction != 0 || whole == 0)
            text += '.' + random_digits(random, fraction == 0 && whole == 0 ? 1 : fraction);
        if (random() % 3 == 0) {
            text += random() % 2 ? 'e' : 'E';
            if (random() % 2) text += random() % 2 ? '-' : '+';
            text += std::to_string(random() % 40);
        }
        check_exact(text);
    }
}

TEST_CASE("the fast path reads a literal's prefix and leaves what follows to the caller") {
    const std::string line = "12.5x -3e2 1.2.3 7e+ 0.00000001";
    double value = 0.0;
    CHECK(detail::fast_decimal_prefix(line.data(), line.data() + 5, value) == 4);
    CHECK(value == 12.5);
    CHECK(detail::fast_decimal_prefix(line.data() + 6, line.data() + 10, value) == 4);
    CHECK(value == -300.0);
    CHECK(detail::fast_decimal_prefix(line.data() + 11, line.data() + 16, value) == 3);
    // An exponent without digits: the full routine decides.
    CHECK(detail::fast_decimal_prefix(line.data() + 17, line.data() + 20, value) == 0);
    CHECK(detail::fast_decimal_prefix(line.data() + 21, line.data() + line.size(), value) == 10);
    CHECK(value == 1e-8);
    for (const char* refused : {"", ".", "+", "-.", "e5", "--1", "+-1"}) {
        const std::string text = refused;
        CHECK_FALSE_MESSAGE(detail::fast_decimal(text, value), text);
    }
}

TEST_CASE("a line's tokens, read plainly or as numbers, are those of the byte-by-byte tokeniser") {
    // Pieces that meet every rule: the six ASCII blanks, other control bytes
    // (part of a token), no-break and ideographic spaces (blanks), a letter
    // with an accent (not a blank), and pieces of numbers.
    const std::vector<std::string> pieces = {
        " ", "\t", "\v", "\r", "\x01", "\xC2\xA0", "\xE3\x80\x80", "\xC3\xA9",   "a",
        "1", "23", ".",  "e",  "-",    "4.5",      "12345678",     "0.12345678", "x"};
    std::mt19937_64 random(35);
    for (int trial = 0; trial < 20000; ++trial) {
        std::string line;
        const std::size_t length = random() % 24;
        for (std::size_t i = 0; i < length; ++i) line += pieces[random() % pieces.size()];
        const std::vector<std::string_view> expected = split_tokens(line);

        LineTokens plain(line);
        std::vector<std::string_view> got;
        for (std::string_view token = plain.next(); !token.empty(); token = plain.next()) got.push_back(token);
        CHECK_MESSAGE(got == expected, line);

        // Every other token asked for as a number.
        LineTokens numbers(line);
        got.clear();
        for (std::size_t k = 0;; ++k) {
            std::string_view token;
            double value = 0.0;
            if (k % 2 == 0 && numbers.next_decimal(token, value)) {
                CHECK_MESSAGE(value == *try_parse_number(token), line);
            } else if (k % 2 == 1) {
                token = numbers.next();
            }
            if (token.empty()) break;
            got.push_back(token);
        }
        CHECK_MESSAGE(got == expected, line);
    }
}
