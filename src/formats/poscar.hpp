// VASP POSCAR / CONTCAR text to a Structure (VASP 4 and 5 layouts).
#pragma once

#include <string_view>

#include "base/error.hpp"
#include "model/structure.hpp"

namespace kestrel {

Result<Structure> read_poscar(std::string_view text);

}  // namespace kestrel
