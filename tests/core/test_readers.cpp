// The structure readers on hostile text: absurd counts, cut-off files, cells
// the fuzzer squeezed thin, symmetry operations that blow up positions.
#include <doctest/doctest.h>

#include <cmath>
#include <string>

#include "formats/cif/reader.hpp"
#include "formats/poscar.hpp"
#include "formats/xyz.hpp"
#include "rdf/rdf.hpp"
#include "symmetry/operation.hpp"

using namespace kestrel;

namespace {
std::string message_of(const Result<Structure>& r) { return r.ok() ? "(ok)" : r.error().message; }
const std::string kCell = "4 0 0\n0 4 0\n0 0 4\n";
}  // namespace

TEST_SUITE("readers") {

TEST_CASE("counts of 10^15 and counts summing past 2^64 fail without allocating") {
    CHECK(message_of(read_poscar("x\n1\n" + kCell + "Na\n1000000000000000\nDirect\n0 0 0\n"))
              .find("1000000000000000") != std::string::npos);
    CHECK(message_of(read_poscar("x\n1\n" + kCell + "Na Cl\n18446744073709551615 18446744073709551615\nDirect\n0 0 0\n"))
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
    std::string text = "data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"
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
        const std::string text = std::string("data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"
                                             "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
                                             "loop_\n_symmetry_equiv_pos_as_xyz\n'") +
                                 op + "'\nloop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n"
                                      "_atom_site_fract_z\nNa 0.3 0.2 0.1\n";
        auto s = read_cif(text, 1e-4);
        if (!s.ok()) continue;
        for (const Site& site : s->sites())
            for (double x : site.frac) CHECK(std::isfinite(x));
    }
}

TEST_CASE("a 0.13 A^3 cell from POSCAR fuzzing: searched in a reduced cell, refused only when absurd") {
    // The fuzzer's input (tests/fuzz/regressions/poscar-thin-cell), reduced.
    const std::string text = "Si\n  1.0\n  4.0  .64 0\n 0.2 0 51.0\n  0.0  0.0  1.0\nSi\n2\nDirect\n"
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

}  // TEST_SUITE("readers")
