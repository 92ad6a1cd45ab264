// Reading the data blocks of a CIF one by one: a file that gathers several
// structures should not be lost whole for one block that cannot be read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "formats/cif/reader.hpp"
#include "formats/cif/scanner.hpp"

namespace kestrel {

struct CifBlockFailure {
    std::string block;
    std::string reason;
};

struct CifBlockReadings {
    std::vector<CifReading> readings;       // file order
    std::vector<CifBlockFailure> failures;  // file order
};

// Every block with an atom-site loop: those that read, and why the others
// did not. A text cut short or with broken loops fails whole.
Result<CifBlockReadings> read_each_cif_block(std::string_view text, const CifReadOptions& options);

// The block of this name in a scanned document (as below), or nullptr.
const CifBlock* find_cif_block(const CifDocument& document, std::string_view name);

// The block of this name (block names ignore case, as in CIF; of several
// blocks of one name, the first with atom sites). Message when
// there is none: "no data block '{name}' in the file; its blocks with atom
// sites are: {names}".
Result<CifReading> read_named_cif_block(std::string_view text, std::string_view name, const CifReadOptions& options);

}  // namespace kestrel
