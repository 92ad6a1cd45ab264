// The 530 space-group settings of the International Tables, looked up by the
// symbols a CIF may give, and expanded into their symmetry operations.
#pragma once

#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "symmetry/operation.hpp"

namespace kestrel {

// One setting of one space group, as tabulated (the table is static data).
struct SpaceGroupSetting {
    int number;                       // 1..230
    std::string_view hall;            // Hall symbol, e.g. "-P 2ybc"
    std::string_view hermann_mauguin; // full H-M symbol with spaces, e.g. "P 1 21/c 1"
    std::string_view extension;       // setting extension: "", "1", "2", "H", "R", "b", "-cba", ...
    std::string_view full_hermann_mauguin;  // every direction with its rotation: "P 21/n 21/m 21/a"
};

// All 530 settings, in table order (by number, the default setting of each number first).
const std::vector<SpaceGroupSetting>& space_group_settings();

// nullptr when the text names no tabulated setting. Matching ignores case and
// spaces; the H-M lookup accepts short forms ("P21/c"), a ":1"/":2"/":H"/":R"
// extension or an origin choice or H/R written out, and without any gives the
// number's default setting. The number lookup gives the default setting.
const SpaceGroupSetting* find_setting_by_hall(std::string_view hall);
const SpaceGroupSetting* find_setting_by_hermann_mauguin(std::string_view symbol);
const SpaceGroupSetting* find_setting_by_number(int number);

// Every operation of the setting (centring translations included), the
// identity first, translations reduced to [0, 1).
std::vector<SymmetryOperation> setting_operations(const SpaceGroupSetting& setting);

// Interprets a Hall symbol directly (also ones not in the table); fails with a
// message naming the symbol when it cannot be read.
Result<std::vector<SymmetryOperation>> operations_from_hall(std::string_view hall);

}  // namespace kestrel
