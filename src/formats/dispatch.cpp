#include "formats/dispatch.hpp"

#include "base/ascii.hpp"
#include "formats/cif/reader.hpp"
#include "formats/poscar.hpp"
#include "formats/xyz.hpp"

namespace kestrel {

Result<TextFormat> format_from_name(std::string_view name) {
    const std::string folded = ascii_lower(name);
    if (folded == "cif") return TextFormat::cif;
    if (folded == "poscar" || folded == "contcar" || folded == "vasp") return TextFormat::poscar;
    if (folded == "xyz" || folded == "extxyz") return TextFormat::xyz;
    return fail("unknown format '" + folded + "'; kestrel reads cif, poscar and xyz");
}

Result<Structure> read_structure_text(std::string_view text, std::string_view format_name,
                                      const CifReadOptions& cif_options) {
    Result<TextFormat> format = format_from_name(format_name);
    if (!format) return format.take_error();
    switch (*format) {
        case TextFormat::cif: return read_cif(text, cif_options);
        case TextFormat::poscar: return read_poscar(text);
        case TextFormat::xyz: return read_xyz(text);
    }
    return fail("unknown format");
}

}  // namespace kestrel
