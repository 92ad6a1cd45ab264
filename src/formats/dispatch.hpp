// In-memory text to a Structure, by format name.
#pragma once

#include <string>
#include <string_view>

#include "base/error.hpp"
#include "formats/cif/reader.hpp"
#include "model/structure.hpp"

namespace kestrel {

enum class TextFormat { cif, poscar, xyz };

// ASCII letters folded to lower case, nothing trimmed: "cif"; "poscar",
// "contcar", "vasp"; "xyz", "extxyz". Anything else is refused with a message
// naming the folded name.
Result<TextFormat> format_from_name(std::string_view name);

// `cif_options` matter only for CIF.
Result<Structure> read_structure_text(std::string_view text, std::string_view format_name,
                                      const CifReadOptions& cif_options);

}  // namespace kestrel
