// Units of correlated disorder in a CIF: which sites are alternatives of one
// place, so that they never coexist.
//   - Disorder groups: each copy of an assembly (its rows under one symmetry
//     operation and lattice translation) is a unit whose alternatives are
//     its groups; group codes without an assembly form one assembly.
//   - Negative group codes: the images of such a group that land on top of
//     one another are alternatives of one unit.
//   - Split positions without codes: partly occupied sites closer than
//     kSplitDistance are alternatives of one unit.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "formats/cif/notices.hpp"
#include "formats/cif/scanner.hpp"
#include "model/structure.hpp"
#include "symmetry/operation.hpp"

namespace kestrel {

// Two partly occupied positions closer than this cannot both hold an atom:
// no bond is shorter (H-H is 0.74 angstrom).
inline constexpr double kSplitDistance = 0.7;  // angstrom

// One asymmetric-unit row as the reader kept it.
struct CifDisorderRow {
    std::uint32_t loop_row;  // in the atom-site loop
    std::string_view label;  // the reader's, alive while the units are made
    double occupancy;
    Vec3 position;  // as written, before any operation
};

// Per site, the loop rows merged into it, in one table for all sites.
class CifRowsOfSites {
public:
    void add_site(std::span<const std::uint32_t> loop_rows) {
        rows_.insert(rows_.end(), loop_rows.begin(), loop_rows.end());
        start_.push_back(static_cast<std::uint32_t>(rows_.size()));
    }
    std::size_t n_sites() const { return start_.size() - 1; }
    std::span<const std::uint32_t> of(std::size_t site) const {
        return {rows_.data() + start_[site], rows_.data() + start_[site + 1]};
    }

private:
    std::vector<std::uint32_t> start_{0};
    std::vector<std::uint32_t> rows_;
};

// `structure` with its units added. `site_rows.of(s)` lists the loop rows
// merged into site s. Every finding the file does not state itself, and
// every fault of its disorder columns, becomes a notice.
Result<Structure> add_cif_units(const CifBlock& block, const std::vector<CifDisorderRow>& rows,
                                const std::vector<SymmetryOperation>& operations, Structure structure,
                                const CifRowsOfSites& site_rows, CifNotices& notices);

}  // namespace kestrel
