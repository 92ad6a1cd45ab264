// The 530 space-group settings of the International Tables, looked up by the
// symbols a CIF may give, and expanded into their symmetry operations.
//
// A symbol without a setting extension means the default setting of its
// group, the one most databases write:
// - origin choice 2 (origin at the centre of inversion) for the 24 groups
//   with two origins, e.g. "F d -3 m" is "F d -3 m :2";
// - hexagonal axes for the 7 rhombohedral groups, "R -3 m" is "R -3 m :H";
// - for a short monoclinic symbol, unique axis b and cell choice 1 ("P 21/c"
//   is "P 1 21/c 1"), else unique axis c ("P 21/b" is "P 1 1 21/b"), else a.
// The number alone gives the same default settings.
#pragma once

#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "symmetry/operation.hpp"

namespace kestrel {

// One setting of one space group, as tabulated (the table is static data).
struct SpaceGroupSetting {
    int number;                             // 1..230
    std::string_view hall;                  // Hall symbol, e.g. "-P 2ybc"
    std::string_view hermann_mauguin;       // full H-M symbol with spaces, e.g. "P 1 21/c 1"
    std::string_view extension;             // setting extension: "", "1", "2", "H", "R", "b", "-cba", ...
    std::string_view full_hermann_mauguin;  // every direction with its rotation: "P 21/n 21/m 21/a"
};

// All 530 settings, in table order (by number, the default setting of each number first).
const std::vector<SpaceGroupSetting>& space_group_settings();

// nullptr when the text names no tabulated setting. Matching ignores case and
// spaces; the H-M lookup accepts short forms ("P21/c"), a ":1"/":2"/":H"/":R"
// extension or an origin choice or H/R written out, and without any gives the
// number's default setting. The number lookup gives the default setting.
// H-M symbols: also full symbols ("P 21/n 21/m 21/a"), subscripts written
// "2_1" or "2(1)", the symbols of the e-glide groups before the e ("C m c a"),
// rotoinversions without their minus ("F m 3 m") where that names one group,
// a trailing " H"/" R", " S"/" Z" (origin choice 1/2) or "origin choice 2".
// Hall symbols: runs of spaces count as one (a space itself matters: "P 3 2"
// is not "P 32"); a Hall symbol not spelled as tabulated still finds the
// setting whose operations it generates.
const SpaceGroupSetting* find_setting_by_hall(std::string_view hall);
const SpaceGroupSetting* find_setting_by_hermann_mauguin(std::string_view symbol);
const SpaceGroupSetting* find_setting_by_number(int number);

// Every operation of the setting (centring translations included), the
// identity first, translations reduced to [0, 1).
std::vector<SymmetryOperation> setting_operations(const SpaceGroupSetting& setting);

// Interprets a Hall symbol directly (also ones not in the table); fails with a
// message naming the symbol when it cannot be read. Same order and
// translation rule as setting_operations. A change of basis at the end may be
// an origin shift in twelfths "(0 0 1)" or an operation "(x,y,z+1/4)" with
// whole-number coefficients that keeps the cell volume.
// Message: "cannot read Hall symbol '{hall}': {reason}".
Result<std::vector<SymmetryOperation>> operations_from_hall(std::string_view hall);

}  // namespace kestrel
