// The CIF scanner: what values its text fields, quotes and loops give.
#include <doctest/doctest.h>

#include <cstdint>
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

    TEST_CASE("values after a closing ';' on its line are read on") {
        Result<CifDocument> document = scan_cif("data_x\nloop_\n_a\n_b\n_c\n;\nlong\n; 0.5 0.25\nq 1 2\n");
        REQUIRE(document.ok());
        const CifLoop& loop = document->blocks[0].loops.at(0);
        REQUIRE(loop.n_rows() == 2);
        CHECK(loop.at(0, 0) == "long");
        CHECK(loop.at(0, 2) == "0.25");
        CHECK(loop.at(1, 0) == "q");
    }

    TEST_CASE("quotes, comments and keywords where values start") {
        Result<CifDocument> document = scan_cif(
            "data_x\n_a 'it''s' # note\n_b \"O'Neill\"x \"y\"\n_c 'open to the end  \n_d P 21/c # z\n_e ' \n_f 1\n");
        REQUIRE(document.ok());
        const CifBlock& block = document->blocks[0];
        CHECK(*block.tag("_a") == "it''s");
        CHECK(*block.tag("_b") == "O'Neill\"x \"y");  // a quote closes only before a blank
        CHECK(*block.tag("_c") == "open to the end");
        CHECK(*block.tag("_d") == "P 21/c");
        CHECK(block.tag("_e") == nullptr);  // a lone quote opens nothing
        CHECK(*block.tag("_f") == "1");
    }

    TEST_CASE("a loop of many rows keeps every value across its storage chunks") {
        std::string text = "data_x\nloop_\n_n\n_m\n";
        const int rows = 40000;
        for (int k = 0; k < rows; ++k) text += std::to_string(k) + " '" + std::to_string(2 * k) + "'\n";
        Result<CifDocument> document = scan_cif(text);
        REQUIRE(document.ok());
        const CifLoop& loop = document->blocks[0].loops.at(0);
        REQUIRE(loop.n_rows() == static_cast<std::size_t>(rows));
        bool all = true;
        for (int k = 0; k < rows; ++k)
            all = all && loop.at(k, 0) == std::to_string(k) && loop.at(k, 1) == std::to_string(2 * k);
        CHECK(all);
    }

    TEST_CASE("cut texts are refused naming the line") {
        struct Case {
            const char* text;
            std::uint64_t line;
            const char* start;
        };
        const Case cases[] = {
            {"data_x\n_a\n;\nnever closed\n", 3, "the text field that opens here"},
            {"data_x\n_a 'cut", 2, "the file ends inside a quoted value"},
            {"data_x\nloop_\n_a\n_b\n1 2\n3\n", 6, "the last row of the loop of _a has 1 of its 2 values"},
            {"data_x\nloop_\n_a\n_b\n1\n2 3 4", 6, "the file ends without a line end inside the loop of _a"},
        };
        for (const Case& c : cases) {
            const std::string text = c.text;
            CAPTURE(text);
            Result<CifDocument> document = scan_cif(text);
            REQUIRE_FALSE(document.ok());
            CHECK(document.error().line == c.line);
            CHECK(document.error().message.rfind(c.start, 0) == 0);
        }
        // A complete last line reads.
        CHECK(scan_cif("data_x\nloop_\n_a\n_b\n1\n2 3 4\n").ok());
        CHECK(scan_cif("data_x\n_a 'cut\n").ok());
    }
}
