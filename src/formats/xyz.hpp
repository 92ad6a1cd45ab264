// The first frame of an extended XYZ text to a Structure; the cell comes
// from the Lattice="..." field of the comment line.
#pragma once

#include <string_view>

#include "structure/error.hpp"
#include "structure/structure.hpp"

namespace kestrel {

Result<Structure> read_xyz(std::string_view text);

}  // namespace kestrel
