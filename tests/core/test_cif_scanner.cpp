// The CIF scanner: what values its text fields, quotes and loops give.
#include <doctest/doctest.h>

#include <string>
#include <string_view>

#include "formats/cif/scanner.hpp"

using namespace kestrel;

namespace {

// The value of `_v` in a one-block text.
std::string tag_value(const std::string& tail) {
    const std::string text = "data_x\n_v" + tail;  // the values are views into it
    Result<CifDocument> document = scan_cif(text);
    REQUIRE(document.ok());
    REQUIRE(document->blocks.size() == 1);
    const std::string_view* value = document->blocks[0].tag("_v");
    REQUIRE(value != nullptr);
    return std::string(*value);
}

}  // namespace

TEST_SUITE("cif scanner") {
    TEST_CASE("a text field starts right after its ';' and keeps its line breaks") {
        struct Case {
            const char* text;
            const char* value;
        };
        const Case cases[] = {
            // Wrapped as published: the opening line carries most of the formula.
            {"\n;Al0.16 Ca0.872 O22 Ti3.48\n Y0.16\n;\n", "Al0.16 Ca0.872 O22 Ti3.48\n Y0.16"},
            {"\n;Cu2 Fe S4 Sn\n;\n", "Cu2 Fe S4 Sn"},
            {"\n;\n2\n;\n", "2"},
            {"\n;\r\n  P 21/c\r\n\r\n;\r\n", "P 21/c"},
            {"\n;\n;\n", ""},
            {"\n;a\n\nb\n;\n_w 1\n", "a\n\nb"},
            // Only a ';' that starts a line opens or closes a field.
            {"\n;x;y\n 'z' ; w\n;\n", "x;y\n 'z' ; w"},
        };
        for (const Case& c : cases) {
            const std::string text = c.text;
            CAPTURE(text);
            CHECK(tag_value(c.text) == c.value);
        }
    }

    TEST_CASE("a text field is one value of a loop row") {
        Result<CifDocument> document = scan_cif("data_x\nloop_\n_a\n_b\n;first\nsecond\n;\n1\n;\n;\n2\n");
        REQUIRE(document.ok());
        const CifLoop& loop = document->blocks[0].loops.at(0);
        REQUIRE(loop.n_rows() == 2);
        CHECK(loop.at(0, 0) == "first\nsecond");
        CHECK(loop.at(0, 1) == "1");
        CHECK(loop.at(1, 0) == "");
        CHECK(loop.at(1, 1) == "2");
    }
}
