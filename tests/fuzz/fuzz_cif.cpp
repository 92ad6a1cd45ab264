// CIF bytes including symmetry operations and space-group symbols; the
// last byte picks the merge tolerance, from none to very coarse, so merging
// sees every regime. The bytes go through the file decoding first (Latin-1
// in comments and text values), which must give valid UTF-8 or an error.
// Every block is read, and every notice worded; the displacement
// parameters must come out for exactly the sites read.
#include "base/utf8.hpp"
#include "formats/cif/blocks.hpp"
#include "formats/cif/displacements.hpp"
#include "formats/cif/encoding.hpp"
#include "formats/cif/reader.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return -1;
    static const double kSymprec[] = {1e-3, 0.01, 0.1, 0.0, 0.5, 1e-300, 2.0, -1.0};
    const double symprec = kSymprec[data[size - 1] % 8];
    auto decoded = kestrel::cif_text_from_bytes(std::string(reinterpret_cast<const char*>(data), size - 1));
    if (!decoded.ok()) return 0;
    if (!kestrel::is_valid_utf8(decoded->text)) __builtin_trap();
    const std::string_view text = decoded->text;
    auto reading = kestrel::read_cif_first_block(text, symprec);
    if (reading.ok()) {
        kestrel::add_latin1_notice(*decoded, reading->notices);
        kestrel::fuzz::exercise(reading->structure);
        volatile std::size_t sink = 0;
        for (const kestrel::CifNotice& notice : reading->notices) sink = sink + kestrel::notice_message(notice).size();
    }
    auto displacements = kestrel::read_cif_site_u_iso(text, symprec);
    // Displacements read the same sites at any occupancy sum.
    if (reading.ok() && !displacements.ok()) __builtin_trap();
    if (reading.ok() && displacements->size() != reading->structure.sites().size()) __builtin_trap();
    // Blocks after the first only on small texts, so each run stays quick.
    if (text.size() < 4096) {
        auto blocks = kestrel::read_cif_blocks(text, symprec);
        if (blocks.ok())
            for (const kestrel::CifReading& block : *blocks) (void)block.structure.n_sites();
        auto each = kestrel::read_each_cif_block(text, symprec);
        // Strict reading succeeds exactly when no block fails.
        if (blocks.ok() != (each.ok() && each->failures.empty())) __builtin_trap();
        if (reading.ok()) (void)kestrel::read_named_cif_block(text, reading->block, symprec);
    }
    return 0;
}
