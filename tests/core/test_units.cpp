// Units of correlated disorder in the record: what the constructor refuses,
// and how a supercell copies a unit that straddles a cell face.
#include <doctest/doctest.h>

#include <cmath>

#include "model/supercell.hpp"

using namespace kestrel;

namespace {

Lattice cube(double edge) {
    return make_lattice({{{edge, 0, 0}, {0, edge, 0}, {0, 0, edge}}}).value();
}

// Two orientations of a C-O pair across the a face: C at x = 0.95 joins its O at x = 0.05 + 1.
Result<Structure> across_the_face(double occupancy_a, double occupancy_b) {
    std::vector<Site> sites{Site{{0.95, 0.5, 0.5}, {{"C", occupancy_a}}}, Site{{0.05, 0.5, 0.5}, {{"O", occupancy_a}}},
                            Site{{0.97, 0.6, 0.5}, {{"C", occupancy_b}}}, Site{{0.97, 0.8, 0.5}, {{"O", occupancy_b}}}};
    Units units{
        {SiteUnit{0, 0, {0, 0, 0}}, SiteUnit{0, 0, {1, 0, 0}}, SiteUnit{0, 1, {0, 0, 0}}, SiteUnit{0, 1, {0, 0, 0}}},
        {UnitSource::declared}};
    return make_structure(cube(4.0), std::move(sites), std::move(units));
}

}  // namespace

TEST_SUITE("units") {
    TEST_CASE("the constructor refuses units that cannot be") {
        CHECK(across_the_face(0.6, 0.4).ok());
        CHECK(across_the_face(0.6, 0.5).error().message ==
              "the alternatives of unit 0 have occupancies summing to 1.1000, which exceeds 1");
        std::vector<Site> sites{Site{{0, 0, 0}, {{"C", 1.0}}}, Site{{0.1, 0, 0}, {{"C", 0.5}}}};
        CHECK(make_structure(cube(4.0), sites, Units{{SiteUnit{0, 0, {}}, SiteUnit{0, 1, {}}}, {UnitSource::declared}})
                  .error()
                  .message == "site 0 is fully occupied and cannot be an alternative of a unit");
        CHECK(make_structure(cube(4.0), sites, Units{{SiteUnit{}, SiteUnit{1, 0, {}}}, {UnitSource::declared}})
                  .error()
                  .message == "site 1 names unit 1, but there are 1 units");
        CHECK(make_structure(cube(4.0), sites, Units{{SiteUnit{}}, {UnitSource::declared}}).error().message ==
              "units must give one entry per site");
        CHECK(make_structure(cube(4.0), sites, Units{{SiteUnit{}, SiteUnit{0, 5, {}}}, {UnitSource::declared}})
                  .error()
                  .message == "unit 0 has 1 sites but names alternative 5");
    }

    TEST_CASE("a supercell copies each unit whole, members within 1.5 A of one another") {
        const Structure s = across_the_face(0.6, 0.4).value();
        const Structure big = make_supercell(s, 3, 1, 1).value();
        REQUIRE(big.n_units() == 3);
        const auto members = unit_members(big.units());
        for (const std::vector<UnitMember>& unit : members) {
            REQUIRE(unit.size() == 4);
            for (const UnitMember& m : unit)
                for (const UnitMember& n : unit) {
                    Vec3 delta;
                    for (int axis = 0; axis < 3; ++axis)
                        delta[axis] = (big.sites()[n.site].frac[axis] + n.cell[axis]) -
                                      (big.sites()[m.site].frac[axis] + m.cell[axis]);
                    const Vec3 d = big.lattice().to_cartesian(delta);
                    CHECK(std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) < 1.5);  // C and O: 3.6 A without the cell
                }
        }
        // The copy at the last image wraps its O round to the first image.
        CHECK(members[2].front().site == 1);
        CHECK(members[2].front().cell[0] == 1);
    }
}
