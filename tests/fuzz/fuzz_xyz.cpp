#include "formats/xyz.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text;
    if (!kestrel::fuzz::usable_text(data, size, text)) return -1;
    auto structure = kestrel::read_xyz(text);
    if (structure.ok()) kestrel::fuzz::exercise(*structure);
    return 0;
}
