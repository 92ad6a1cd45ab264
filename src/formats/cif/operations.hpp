// The symmetry operations of one CIF data block: its loop of operations, or
// else the space group its symbols name.
#pragma once

#include <string>
#include <vector>

#include "base/error.hpp"
#include "formats/cif/notices.hpp"
#include "formats/cif/scanner.hpp"
#include "symmetry/operation.hpp"

namespace kestrel {

// The operations of a block and where they came from, for messages that
// must name them.
struct BlockOperations {
    std::vector<SymmetryOperation> operations;
    // From a loop: each operation as written, in the same order (the added
    // identity as 'x,y,z'); empty when the operations came from a symbol.
    std::vector<std::string> written;
    // From a symbol: the symbol as the file gives it ("'F d -3 m'", "Hall
    // symbol '-F 4vw 2vw 3'", "number 227"); empty otherwise.
    std::string symbol;
    // An R symbol without setting, or its number, is read on hexagonal axes;
    // these are the same group's operations on rhombohedral axes, for a cell
    // that turns out to have them. Empty otherwise.
    std::vector<SymmetryOperation> rhombohedral;
    std::string rhombohedral_name;  // that setting as tabulated, 'R -3 m:R'
};

// In this order: the first loop of '_symmetry_equiv_pos_as_xyz' or
// '_space_group_symop_operation_xyz' that yields an operation (the identity
// added when missing); the Hall symbol; the Hermann-Mauguin symbol; the
// International Tables number. No symbol, or P1, gives the identity alone.
// Fails for an operation whose rotation has no inverse, and for a symbol of
// another group that cannot be resolved.
Result<BlockOperations> read_block_operations(const CifBlock& block, CifNotices& notices);

}  // namespace kestrel
