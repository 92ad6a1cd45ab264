// Isotropic displacement parameters of the merged sites of a CIF, for
// broadening the pair peaks by thermal motion.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace kestrel {

// The isotropic U of one element of a site, in square ångströms, or nothing
// where no row of that element merged into the site gives one.
struct CifElementU {
    std::string element;
    std::optional<double> u;
};

// Per site of the structure read_cif_first_block returns (same order), the
// U of each of its elements (in the site's order). A row's U is the first of: _atom_site_U_iso_or_equiv,
// _atom_site_B_iso_or_equiv / 8π², a third of the trace of its anisotropic U
// (_atom_site_aniso_U_11/22/33, joined by _atom_site_aniso_label) or of
// the anisotropic B / 8π². Several rows of one element on a site (split
// disorder parts) give the occupancy-weighted mean of those that give one.
// With `block`, of the structure read_named_cif_block reads.
Result<std::vector<std::vector<CifElementU>>> read_cif_site_u_iso(std::string_view text, double symprec,
                                                                  std::optional<std::string_view> block = {});

}  // namespace kestrel
