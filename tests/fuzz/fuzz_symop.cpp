// One symmetry operation, as a CIF loop row holds it.
#include "fuzz_common.hpp"
#include "symmetry/operation.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text;
    if (!kestrel::fuzz::usable_text(data, size, text)) return -1;
    auto operation = kestrel::parse_symmetry_operation(text);
    if (operation.ok()) {
        volatile double sink = operation->apply({0.125, -0.5, 3.75})[0];
        (void)sink;
    }
    return 0;
}
