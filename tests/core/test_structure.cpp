#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "base/ascii.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "base/unit_interval.hpp"
#include "base/utf8.hpp"
#include "base/fixed4.hpp"
#include "model/structure.hpp"

using namespace kestrel;

namespace {
Lattice cubic(double a) {
    return make_lattice({{{a, 0, 0}, {0, a, 0}, {0, 0, a}}}).value();
}
}  // namespace

TEST_CASE("four-decimal text rounds the exact binary value, ties to even") {
    CHECK(format_fixed4(1.25) == "1.2500");
    CHECK(format_fixed4(1.23456) == "1.2346");
    CHECK(format_fixed4(0.03125) == "0.0312");
    CHECK(format_fixed4(0.09375) == "0.0938");
    CHECK(format_fixed4(1e300).size() > 300);
}

TEST_CASE("lattice constructor threshold and inverse") {
    CHECK_FALSE(make_lattice({{{1e-5, 0, 0}, {0, 1e-5, 0}, {0, 0, 1e-5}}}).ok());
    CHECK(make_lattice({{{1e-12, 0, 0}, {0, 1, 0}, {0, 0, 1}}}).ok());
    auto lattice = make_lattice({{{2, 1, 0}, {0, 3, 1}, {1, 0, 4}}});
    REQUIRE(lattice.ok());
    const Vec3 cart = lattice->to_cartesian({0.25, -0.5, 1.5});
    const Vec3 back = lattice->to_fractional(cart);
    CHECK(back[0] == doctest::Approx(0.25));
    CHECK(back[1] == doctest::Approx(-0.5));
    CHECK(back[2] == doctest::Approx(1.5));
}

TEST_CASE("structure constructor checks and derived quantities") {
    CHECK(make_structure(cubic(4), {}).error().message == "structure has no sites");
    auto overfull = make_structure(cubic(4), {Site{{0, 0, 0}, {{"Fe", 0.6}, {"Ni", 0.4011}}}});
    CHECK(overfull.error().message == "a site has occupancies summing to 1.0011, which exceeds 1");
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const Site fine{{0, 0, 0}, {{"O", 1.0}}};
    CHECK(make_structure(cubic(4), {fine, Site{{0.5, 0, 0}, {{"Fe", 0.5}, {"Ni", nan}}}}).error().message ==
          "occupancies must be finite and not negative; site 2 has Ni nan");
    CHECK(make_structure(cubic(4), {Site{{0, 0, 0}, {{"Na", -0.5}}}, fine}).error().message ==
          "occupancies must be finite and not negative; site 1 has Na -0.5000");
    // An infinite entry must not hide behind a negative one in the sum.
    CHECK(make_structure(cubic(4), {fine, Site{{0, 0, 0}, {{"Fe", inf}, {"Ni", -inf}}}}).error().message ==
          "occupancies must be finite and not negative; site 2 has Fe inf");
    CHECK(make_structure(cubic(4), {fine, Site{{nan, 0.25, -inf}, {{"O", 1.0}}}}).error().message ==
          "coordinates must be finite; site 2 has (nan, 0.2500, -inf)");
    CHECK(make_structure(cubic(4), {Site{{0, 0, 0}, {{"A", 0.0}, {"B", -0.0}}}}).ok());
    auto s = make_structure(cubic(4), {Site{{0, 0, 0}, {{"O", 1.0}}}, Site{{0.5, 0, 0}, {{"Fe", 0.5}, {"C", 0.25}}}});
    REQUIRE(s.ok());
    CHECK(elements(*s) == std::vector<std::string>{"C", "Fe", "O"});
    CHECK(n_atoms(*s) == 1.75);
    CHECK(volume(*s) == 64.0);
    CHECK_FALSE(is_ordered(*s));
}

TEST_CASE("number grammar") {
    for (const char* good : {"1.5e3", "+.5", "5.", "-INF", "NaN", "Infinity", "7", "1e400"})
        CHECK_MESSAGE(try_parse_number(good).has_value(), good);
    for (const char* bad : {"1.5D3", "0x10", "1,5", "1.2(3)", "", ".", "+", "1e", "1e+", "nan(1)", "--1"})
        CHECK_MESSAGE(!try_parse_number(bad).has_value(), bad);
    CHECK(*try_parse_number("1e-400") == 0.0);
    CHECK(parse_number("x").error().message == "expected a number, found 'x'");
    CHECK(*parse_count("+12") == 12);
    CHECK_FALSE(parse_count("18446744073709551616").has_value());
    CHECK_FALSE(parse_count("-0").has_value());
}

TEST_CASE("lines, tokens and UTF-8") {
    CHECK(split_lines("a\r\nb\r\n").size() == 2);
    CHECK(split_lines("").empty());
    CHECK(split_tokens("\t\f\xC2\xA0\xE3\x80\x80").empty());
    CHECK(split_tokens("a\xE2\x80\x83"
                       "b")
              .size() == 2);
    CHECK(split_on("a,,b", ',').size() == 3);
    CHECK(is_valid_utf8("abc\xC3\xA9"));
    CHECK_FALSE(is_valid_utf8("\xC0\x80"));
    CHECK_FALSE(is_valid_utf8("\xED\xA0\x80"));
    CHECK_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));
    CHECK_FALSE(is_valid_utf8("ab\xE2\x80"));  // cut short at the end
}

TEST_CASE("UTF-8 fed in pieces agrees with the whole-text check at every cut") {
    const std::string texts[] = {"a\xC3\xA9\xE2\x80\x83z\xF0\x9F\x98\x80",
                                 "\xE0\x9F\x80",
                                 "x\xED\xA0\x80",
                                 "\xF4\x90\x80\x80",
                                 "ab\xE2\x80",
                                 "\xC3",
                                 "0123456789\xC3\xA9"
                                 "abcdefgh"};
    for (const std::string& text : texts) {
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            Utf8Stream stream;
            const bool fed = stream.feed(text.data(), cut) && stream.feed(text.data() + cut, text.size() - cut);
            CHECK_MESSAGE((fed && stream.complete()) == is_valid_utf8(text), text, " cut at ", cut);
        }
    }
}

TEST_CASE("small shared helpers") {
    CHECK(ascii_lower("LaTTice=\xC3\x89") == "lattice=\xC3\x89");  // non-ASCII bytes stay
    CHECK(equals_ignoring_case("LOOP_", "loop_"));
    CHECK_FALSE(equals_ignoring_case("loop", "loop_"));
    CHECK(strip_quotes("''a'b''", '\'') == "a'b");
    CHECK(saturating_add(UINT64_MAX - 1, 5) == UINT64_MAX);
    CHECK(saturating_add(2, 3) == 5);
    CHECK(wrap_unit(-1e-300) == 0.0);  // would round up to exactly 1
    CHECK(wrap_unit(-0.25) == 0.75);
    CHECK(wrap_unit(3.5) == 0.5);
}
