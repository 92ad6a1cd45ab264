// Isotropic displacement parameters of the merged sites of a CIF, for
// broadening the pair peaks by thermal motion.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace kestrel {

// Per site of the structure read_cif_first_block returns (same order), its
// isotropic U in square ångströms, or nothing where no row merged into the
// site gives one. A row's U is the first of: _atom_site_U_iso_or_equiv,
// _atom_site_B_iso_or_equiv / 8π², a third of the trace of its anisotropic U
// (_atom_site_aniso_U_11/22/33, joined by _atom_site_aniso_label) or of
// the anisotropic B / 8π². A site made of several rows (mixed or split
// atoms) takes the occupancy-weighted mean of the rows that give one.
Result<std::vector<std::optional<double>>> read_cif_site_u_iso(std::string_view text, double symprec);

}  // namespace kestrel
