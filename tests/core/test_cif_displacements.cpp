// Displacement parameters carried from asymmetric-unit rows to merged sites.
#include <doctest/doctest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "formats/cif/displacements.hpp"
#include "formats/cif/reader.hpp"

using namespace kestrel;

namespace {

// P-1: Fe1 on the inversion centre (its two images are one site), O1 on a
// general position (two sites), O2 the same atom as O1 written again, Cl1
// with only a B, Na1 with nothing.
const char* kText = R"(data_t
_cell_length_a 5 _cell_length_b 6 _cell_length_c 7
loop_
_symmetry_equiv_pos_as_xyz
x,y,z
-x,-y,-z
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
_atom_site_B_iso_or_equiv
Fe1 Fe 0 0 0 0.0100(5) ?
O1 O 0.1 0.2 0.3 0.020 ?
O2 O 0.1 0.2 0.3 0.030 ?
Cl1 Cl 0.25 0.25 0.25 ? 1.5
Na1 Na 0.5 0 0 ? ?
)";

}  // namespace

TEST_CASE("each merged site lists the rows it came from, once each") {
    auto reading = read_cif_first_block(kText, 1e-4);
    REQUIRE(reading.ok());
    const auto& rows = reading->site_rows;
    REQUIRE(rows.size() == reading->structure.sites().size());
    REQUIRE(rows.size() == 6);  // Fe, O twice, Cl twice, Na
    CHECK(rows[0].size() == 1);
    CHECK(rows[0][0].row == 0);
    CHECK(rows[0][0].element == "Fe");
    REQUIRE(rows[1].size() == 2);  // the repeated O row lands on O1's sites
    CHECK(rows[1][0].row == 1);
    CHECK(rows[1][1].row == 2);
}

TEST_CASE("site U from U_iso, B_iso and repeated rows") {
    auto sites = read_cif_site_u_iso(kText, 1e-4);
    REQUIRE(sites.ok());
    REQUIRE(sites->size() == 6);
    CHECK((*sites)[0][0].u.value() == doctest::Approx(0.0100));
    // A row written twice averages its values, each counted with its occupancy.
    CHECK((*sites)[1][0].u.value() == doctest::Approx(0.025));
    CHECK((*sites)[3][0].element == "Cl");
    CHECK((*sites)[3][0].u.value() == doctest::Approx(1.5 / (8.0 * std::numbers::pi * std::numbers::pi)));
    CHECK_FALSE((*sites)[5][0].u.has_value());
}

TEST_CASE("a file the reader refuses gives the reader's error") {
    auto sites = read_cif_site_u_iso("data_x\n_cell_length_a 5\n", 1e-4);
    REQUIRE_FALSE(sites.ok());
    CHECK(sites.error().message == read_cif("data_x\n_cell_length_a 5\n", 1e-4).error().message);
}
