// The symmetry operations of one CIF data block: its loop of operations, or
// else the space group its symbols name.
#pragma once

#include <vector>

#include "base/error.hpp"
#include "formats/cif/notices.hpp"
#include "formats/cif/scanner.hpp"
#include "symmetry/operation.hpp"

namespace kestrel {

// In this order: the first loop of '_symmetry_equiv_pos_as_xyz' or
// '_space_group_symop_operation_xyz' that yields an operation (the identity
// added when missing); the Hall symbol; the Hermann-Mauguin symbol; the
// International Tables number. No symbol, or P1, gives the identity alone.
// Fails for an operation whose rotation has no inverse, and for a symbol of
// another group that cannot be resolved.
Result<std::vector<SymmetryOperation>> read_block_operations(const CifBlock& block, CifNotices& notices);

}  // namespace kestrel
