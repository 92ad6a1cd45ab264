// VASP POSCAR / CONTCAR text to a Structure (VASP 4 and 5 layouts).
#pragma once

#include <string_view>

#include "structure/error.hpp"
#include "structure/structure.hpp"

namespace kestrel {

Result<Structure> read_poscar(std::string_view text);

}  // namespace kestrel
