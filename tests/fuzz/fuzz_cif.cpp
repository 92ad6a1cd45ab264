// CIF text including its symmetry operations; the last byte picks the merge
// tolerance, from none to very coarse, so merging sees every regime.
#include "formats/cif/reader.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return -1;
    static const double kSymprec[] = {1e-3, 0.01, 0.1, 0.0, 0.5, 1e-300, 2.0, -1.0};
    const double symprec = kSymprec[data[size - 1] % 8];
    std::string_view text;
    if (!kestrel::fuzz::usable_text(data, size - 1, text)) return -1;
    auto structure = kestrel::read_cif(text, symprec);
    if (structure.ok()) kestrel::fuzz::exercise(*structure);
    return 0;
}
