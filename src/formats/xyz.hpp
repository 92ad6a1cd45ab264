// The first frame of an extended XYZ text to a Structure; the cell comes
// from the Lattice field of the comment line and the columns from its
// Properties field, read as the trajectory reader reads every frame.
#pragma once

#include <string_view>

#include "base/error.hpp"
#include "model/structure.hpp"

namespace kestrel {

Result<Structure> read_xyz(std::string_view text);

}  // namespace kestrel
