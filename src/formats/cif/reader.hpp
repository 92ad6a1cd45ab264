// CIF text to a Structure: the asymmetric unit expanded by the file's
// symmetry operations, coinciding positions merged into (possibly mixed)
// sites, and a notice for everything the reader had to decide on its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "formats/cif/notices.hpp"
#include "formats/cif/occupancy_sum.hpp"
#include "formats/cif/scanner.hpp"
#include "model/structure.hpp"

namespace kestrel {

// More positions than this (atom-site rows times symmetry operations) are
// refused before any is made: no real cell comes near it, and a crafted
// file must not run the machine out of memory.
inline constexpr std::uint64_t kMaxCifPositions = 20'000'000;

// One asymmetric-unit row merged into a site, as the element it gave.
struct CifSiteRow {
    std::uint32_t row;  // in the atom-site loop, from 0
    std::string element;
};

struct CifReading {
    std::string block;  // the data block's name, without 'data_'
    Structure structure;
    std::vector<CifNotice> notices;
    // Per site of `structure`, the rows whose images were merged into it,
    // each once, in row order: what carries the per-row columns
    // (displacement parameters) over to the merged sites.
    std::vector<std::vector<CifSiteRow>> site_rows;
};

// How a CIF is read: `symprec`, fractional coordinates per axis within
// which symmetry images merge into one site; `occupancy_tolerance`, how far
// above 1 a site's occupancies may add up and be scaled to 1 as rounding.
// A bare symprec converts, for the callers that only set that.
struct CifReadOptions {
    CifReadOptions(double symprec_ = 1e-4, double occupancy_tolerance_ = kDefaultOccupancyTolerance)  // NOLINT
        : symprec(symprec_), occupancy_tolerance(occupancy_tolerance_) {}

    double symprec;
    double occupancy_tolerance;
};

// The failure of a text that has no cell and no atom sites in any block.
inline constexpr const char* kNotACifMessage = "not a CIF: no data block with a cell and atom sites";

// The first data block that has both a cell and an atom-site loop (a text
// without one reports the failure of the block closest to it).
Result<CifReading> read_cif_first_block(std::string_view text, const CifReadOptions& options);

// Every data block with an atom-site loop, in file order; the first block
// that fails ends reading, its message naming the block.
Result<std::vector<CifReading>> read_cif_blocks(std::string_view text, const CifReadOptions& options);

// The block read_cif_first_block reads from a scanned document, and the
// reading of one block, for callers that need other columns of that block.
const CifBlock& cif_block_to_read(const CifDocument& document);
Result<CifReading> read_cif_block(const CifBlock& block, const CifReadOptions& options);

// Whether a block has an atom-site loop with fractional coordinates.
bool cif_block_has_atom_sites(const CifBlock& block);

// read_cif_first_block without the notices.
Result<Structure> read_cif(std::string_view text, const CifReadOptions& options);

}  // namespace kestrel
