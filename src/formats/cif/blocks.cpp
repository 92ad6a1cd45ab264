#include "formats/cif/blocks.hpp"

#include "base/ascii.hpp"
#include "formats/cif/scanner.hpp"

namespace kestrel {
Result<CifBlockReadings> read_each_cif_block(std::string_view text, const CifReadOptions& options) {
    Result<CifDocument> document = scan_cif(text);
    if (!document) return document.take_error();
    CifBlockReadings out;
    for (const CifBlock& block : document->blocks) {
        if (!cif_block_has_atom_sites(block)) continue;
        Result<CifReading> reading = read_cif_block(block, options);
        if (reading) out.readings.push_back(std::move(*reading));
        else out.failures.push_back({block.name, reading.error().message});
    }
    return out;
}

const CifBlock* find_cif_block(const CifDocument& document, std::string_view name) {
    const std::string wanted = ascii_lower(name);
    // Of blocks sharing the name, one with atom sites.
    const CifBlock* found = nullptr;
    for (const CifBlock& block : document.blocks)
        if (ascii_lower(block.name) == wanted && (found == nullptr || !cif_block_has_atom_sites(*found)))
            found = &block;
    return found;
}

Result<CifReading> read_named_cif_block(std::string_view text, std::string_view name, const CifReadOptions& options) {
    Result<CifDocument> document = scan_cif(text);
    if (!document) return document.take_error();
    if (const CifBlock* found = find_cif_block(*document, name)) return read_cif_block(*found, options);
    std::string names;
    for (const CifBlock& block : document->blocks) {
        if (!cif_block_has_atom_sites(block)) continue;
        names += (names.empty() ? "" : ", ") + block.name;
    }
    return fail("no data block '" + std::string(name) +
                "' in the file; its blocks with atom sites are: " + (names.empty() ? "none" : names));
}

}  // namespace kestrel
