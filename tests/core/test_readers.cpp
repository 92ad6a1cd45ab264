// The structure readers on hostile text: absurd counts, cut-off files, cells
// the fuzzer squeezed thin, symmetry operations that blow up positions.
#include <doctest/doctest.h>

#include <cmath>
#include <map>
#include <set>
#include <string>

#include "formats/cif/cell_fit.hpp"
#include "formats/cif/elements.hpp"
#include "formats/cif/encoding.hpp"
#include "formats/cif/merge.hpp"
#include "formats/cif/reader.hpp"
#include "formats/cif/scanner.hpp"
#include "formats/poscar.hpp"
#include "formats/xyz.hpp"
#include "rdf/rdf.hpp"
#include "symmetry/operation.hpp"

using namespace kestrel;

namespace {
std::string message_of(const Result<Structure>& r) {
    return r.ok() ? "(ok)" : r.error().message;
}
const std::string kCell = "4 0 0\n0 4 0\n0 0 4\n";
}  // namespace

TEST_SUITE("readers") {
    TEST_CASE("counts of 10^15 and counts summing past 2^64 fail without allocating") {
        CHECK(message_of(read_poscar("x\n1\n" + kCell + "Na\n1000000000000000\nDirect\n0 0 0\n"))
                  .find("1000000000000000") != std::string::npos);
        CHECK(message_of(
                  read_poscar("x\n1\n" + kCell + "Na Cl\n18446744073709551615 18446744073709551615\nDirect\n0 0 0\n"))
                  .find("36893488147419103230") != std::string::npos);
        CHECK(message_of(read_xyz("1000000000000000\nLattice=\"4 0 0 0 4 0 0 0 4\"\nNa 0 0 0\n"))
                  .find("1000000000000000") != std::string::npos);
    }

    TEST_CASE("truncated and empty texts") {
        for (const char* text : {"", "\n", "x\n1\n", "x\n1\n4 0 0\n0 4 0\n0 0 4\nNa\n"}) {
            CAPTURE(text);
            CHECK_FALSE(read_poscar(text).ok());
            CHECK_FALSE(read_xyz(text).ok());
            CHECK_FALSE(read_cif(text, 1e-4).ok());
        }
    }

    TEST_CASE("a CIF whose rows times operations pass the position limit is refused up front") {
        std::string text =
            "data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"
            "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
            "loop_\n_symmetry_equiv_pos_as_xyz\n";
        for (int k = 0; k < 5000; ++k) text += "x,y,z\n";
        text += "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n";
        for (int k = 0; k < 5000; ++k) text += "Na 0 0 0\n";
        CHECK(message_of(read_cif(text, 1e-4)).rfind("CIF expands to 25000000 positions", 0) == 0);
    }

    TEST_CASE("symmetry operations with huge or degenerate coefficients keep positions finite or drop them") {
        for (const char* op : {"1e308*x,y,z", "x/0,y,z", "x,y,z+1e400", "-x-x-x-x-x,y,z", "x,y", "x,,z", "nan*x,y,z"}) {
            CAPTURE(op);
            auto parsed = parse_symmetry_operation(op);
            if (!parsed.ok()) continue;
            const std::string text = std::string(
                                         "data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"
                                         "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
                                         "loop_\n_symmetry_equiv_pos_as_xyz\n'") +
                                     op +
                                     "'\nloop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n"
                                     "_atom_site_fract_z\nNa 0.3 0.2 0.1\n";
            auto s = read_cif(text, 1e-4);
            if (!s.ok()) continue;
            for (const Site& site : s->sites())
                for (double x : site.frac) CHECK(std::isfinite(x));
        }
    }

    TEST_CASE("a 0.13 A^3 cell from POSCAR fuzzing: searched in a reduced cell, refused only when absurd") {
        // The fuzzer's input (tests/fuzz/regressions/poscar-thin-cell), reduced.
        const std::string text =
            "Si\n  1.0\n  4.0  .64 0\n 0.2 0 51.0\n  0.0  0.0  1.0\nSi\n2\nDirect\n"
            "0 0.5 0.5\n0.25 0.25 0.25\n";
        auto s = read_poscar(text);
        REQUIRE(s.ok());
        CHECK(volume(*s) == doctest::Approx(0.128));
        auto curves = compute_rdf(*s, 1.0, 0.5);
        CHECK(curves.ok());
        // Some 10^7 images: real work, done in a better basis of the lattice.
        CHECK(compute_rdf(*s, 40.0, 0.5).ok());
        auto far = compute_rdf(*s, 1e5, 1e4);
        REQUIRE_FALSE(far.ok());
        CHECK(far.error().message.rfind("the cutoff reaches too many periodic images of this cell", 0) == 0);
    }

    TEST_CASE("CIF blocks keep their own tags and loops") {
        const CifDocument document = *scan_cif(
            "_orphan 1\ndata_a _cell_length_a 10 loop_ _x _y 1 2 3 4\n"
            "DATA_b\n_cell_length_a\n;\n2\n;\nloop_\n_x\n'q r' \"s\"\n");
        REQUIRE(document.blocks.size() == 3);
        CHECK(document.blocks[0].name.empty());
        CHECK(document.blocks[1].name == "a");
        CHECK(*document.blocks[1].tag("_cell_length_a") == "10");
        REQUIRE(document.blocks[1].loops.size() == 1);
        CHECK(document.blocks[1].loops[0].n_rows() == 2);
        CHECK(document.blocks[2].name == "b");
        CHECK(*document.blocks[2].tag("_cell_length_a") == "2");
        CHECK(document.blocks[2].loops[0].n_rows() == 2);
        CHECK(document.blocks[2].loops[0].at(0, 0) == "q r");
    }

    TEST_CASE("a quoted value is never a tag or a keyword, an unquoted one always") {
        const CifDocument document = *scan_cif("data_x\n_a '_b' _c 'loop_' _d loop_ _e\n_f data_y\n");
        REQUIRE(document.blocks.size() == 2);
        const CifBlock& x = document.blocks[0];
        CHECK(*x.tag("_a") == "_b");
        CHECK(*x.tag("_c") == "loop_");
        CHECK(x.tag("_d") == nullptr);  // no value before the keyword
        REQUIRE(x.loops.size() == 1);   // a loop with a tag and no values stays, empty
        CHECK(x.loops[0].n_rows() == 0);
        CHECK(x.tag("_f") == nullptr);
        CHECK(document.blocks[1].name == "y");
    }

    TEST_CASE("elements: type symbols, labels and the formula") {
        CHECK(element_from_type_symbol("Fe3+").value_or("-") == "Fe");
        CHECK(element_from_type_symbol("CL1-").value_or("-") == "Cl");
        CHECK_FALSE(element_from_type_symbol("Wat").has_value());
        CHECK_FALSE(element_from_type_symbol("Xx").has_value());
        const std::set<std::string> none;
        const auto reads = [](std::string_view label, const std::set<std::string>& formula, const char* element,
                              LabelReading reading) {
            CAPTURE(label);
            const std::optional<LabelElement> read = element_from_label(label, formula);
            REQUIRE(read.has_value());
            CHECK(read->element == element);
            CHECK(read->reading == reading);
        };
        reads("Wat12", none, "O", LabelReading::water);
        reads("Sl", none, "S", LabelReading::plain);
        reads("Se1", formula_elements("Cu2 Fe S4 Sn"), "Se", LabelReading::plain);
        reads("Sn2a", none, "Sn", LabelReading::plain);
        reads("ZN1", none, "Zn", LabelReading::plain);
        reads("CA1", none, "Ca", LabelReading::undecided);
        reads("CA1", formula_elements("C12 H22 O11"), "C", LabelReading::formula);
        reads("ca1", formula_elements("Ca C O3"), "Ca", LabelReading::undecided);
        reads("SE1", formula_elements("Cu2 Fe Se4 Sn"), "Se", LabelReading::formula);
        CHECK_FALSE(element_from_label("1C", none).has_value());
        CHECK(formula_amounts("C12 H10.5 N2 O") ==
              std::map<std::string, double>{{"C", 12.0}, {"H", 10.5}, {"N", 2.0}, {"O", 1.0}});
        CHECK(formula_amounts("CaTiO3") == std::map<std::string, double>{{"Ca", 1.0}, {"O", 3.0}, {"Ti", 1.0}});
        CHECK_FALSE(formula_amounts("(C6 H5)2 O").has_value());
        CHECK_FALSE(formula_amounts("").has_value());
        CHECK(formula_elements("CaTiO3") == std::set<std::string>{"Ca", "O", "Ti"});
    }

    TEST_CASE("Latin-1 bytes: read in descriptions, refused where the reader takes meaning") {
        const auto decoded = [](std::string bytes) { return cif_text_from_bytes(std::move(bytes)); };
        // A text field, a quoted value with a comma, a comment and a plain word.
        const Result<CifText> text = decoded(
            ";\nGr\xfc\xdf"
            "e\n;\n_publ_author_name 'M\xfcller, K.' # \xe9\n_journal_name Z\xe9\n");
        REQUIRE(text.ok());
        CHECK(text->text == ";\nGrüße\n;\n_publ_author_name 'Müller, K.' # é\n_journal_name Zé\n");
        CHECK(text->latin1_bytes == 5);
        CHECK(text->lines == std::vector<std::size_t>{2, 4, 5});
        for (const char* bad : {"_cell_angle_gamma 90\xb0\n", "_t\xe9 1\n", "loop_\n_op\n'x,y\xb4,z'\n"}) {
            CAPTURE(bad);
            const Result<CifText> refused = decoded(std::string("data_x\n") + bad);
            REQUIRE_FALSE(refused.ok());
            CHECK(refused.error().message.find("is not UTF-8, and only comments and text values") != std::string::npos);
        }
        CHECK(decoded("valid \xc3\xa9\n")->latin1_bytes == 0);
    }

    TEST_CASE("the metric test and the cell as messages show it") {
        const Lattice hexagonal = *make_lattice({{{5.0, 0.0, 0.0}, {-2.5, 4.330127018922193, 0.0}, {0.0, 0.0, 7.0}}});
        const Mat3 sixfold{{{1, -1, 0}, {1, 0, 0}, {0, 0, 1}}};  // x-y, x, z
        CHECK(keeps_metric(sixfold, hexagonal));
        const Lattice cubic = *make_lattice({{{5.0, 0.0, 0.0}, {0.0, 5.0, 0.0}, {0.0, 0.0, 5.0}}});
        CHECK_FALSE(keeps_metric(sixfold, cubic));
        const Mat3 nan_rotation{{{std::nan(""), 0, 0}, {0, 1, 0}, {0, 0, 1}}};
        CHECK_FALSE(keeps_metric(nan_rotation, cubic));
        CHECK(describe_cell(hexagonal) == "a = b = 5 Å, c = 7 Å, α = β = 90°, γ = 120°");
    }

    TEST_CASE("near images collapse only when their occupancies would overfill a site") {
        const Lattice hexagonal = *make_lattice({{{5.0, 0.0, 0.0}, {-2.5, 4.330127018922193, 0.0}, {0.0, 0.0, 5.0}}});
        const std::vector<Vec3> on_axis{{0.333, 0.667, 0.0}, {0.333, 0.666, 0.0}, {0.334, 0.667, 0.0}};
        std::vector<Vec3> images = on_axis;
        CHECK(collapse_near_images(images, 1.0, hexagonal, 1e-4) == 2);
        CHECK(images.size() == 1);
        images = on_axis;
        CHECK(collapse_near_images(images, 0.3, hexagonal, 1e-4) == 0);
        CHECK(images.size() == 3);
        images = on_axis;
        CHECK(collapse_near_images(images, 1.0, hexagonal, 0.0) == 0);
        // Two images on one point and a third near it: two positions, 0.5 each.
        images = {{0.333, 0.667, 0.0}, {0.333, 0.667, 0.0}, {0.334, 0.667, 0.0}};
        CHECK(collapse_near_images(images, 0.5, hexagonal, 1e-4) == 0);
        CHECK(images.size() == 3);
    }

    TEST_CASE("CIF notices count every case and keep a few labels") {
        auto reading = read_cif_first_block(
            "data_x\n_cell_length_a 5 _cell_length_b 5 _cell_length_c 5\n"
            "loop_ _atom_site_label _atom_site_fract_x _atom_site_fract_y _atom_site_fract_z\n"
            "A1 ? 0 0 A2 ? 0 0 A3 ? 0 0 A4 ? 0 0 A5 ? 0 0 A6 ? 0 0 OW1 0 0 0\n",
            1e-4);
        REQUIRE(reading.ok());
        REQUIRE(reading->notices.size() == 2);
        CHECK(notice_message(reading->notices[0]) ==
              "skipped 6 atom-site rows without usable coordinates (A1, A2, A3, A4, A5, ...)");
        CHECK(notice_message(reading->notices[1]) ==
              "chose the element of 1 atom-site row whose label allows more than one reading (OW1 -> O as water)");
    }

    TEST_CASE("symmetry operations: invertibility and the identity") {
        CHECK(parse_symmetry_operation("-y,x-y,z+1/3")->is_invertible());
        CHECK_FALSE(parse_symmetry_operation("x,x,z")->is_invertible());
        CHECK(parse_symmetry_operation("x+1,y-2,z")->is_identity_modulo_lattice());
        CHECK_FALSE(parse_symmetry_operation("x+1/2,y,z")->is_identity_modulo_lattice());
    }

}  // TEST_SUITE("readers")
