// The generated data behind the space-group lookups (space_group_table.cpp,
// written by tools/make_space_group_table.py).
#pragma once

#include <string_view>
#include <vector>

#include "symmetry/space_group.hpp"

namespace kestrel {

// A symbol an e-glide group carried before the e was introduced ("C m c a"
// for "C m c e"), for the setting with this number and extension.
struct OldSymbol {
    int number;
    std::string_view extension;
    std::string_view hermann_mauguin;
};

const std::vector<OldSymbol>& old_e_glide_symbols();

}  // namespace kestrel
