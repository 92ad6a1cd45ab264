// The key=value fields of an extended XYZ comment line: where the cell and
// the column layout of the atom lines come from.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/error.hpp"

namespace kestrel {

// The value of `key=` in `line`, or nothing. The key matches in any letter
// case but only at the start of the line or after a space, tab, LF, CR or FF,
// so "xLattice=" is not a Lattice field. A quoted value runs to the next
// double quote (or the end of the line), an unquoted one to the next
// whitespace. The view points into `line`.
std::optional<std::string_view> find_comment_field(std::string_view line, std::string_view key);

// Token indices of the species and the first position coordinate.
struct ColumnLayout {
    std::uint64_t species = 0;
    std::uint64_t position = 1;
};

// The layout a Properties value (name:type:count triples) describes.
Result<ColumnLayout> parse_properties(std::string_view value);

}  // namespace kestrel
