// One space-group symbol, as a CIF's Hall or H-M tag holds it.
#include "fuzz_common.hpp"
#include "symmetry/space_group.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text;
    if (!kestrel::fuzz::usable_text(data, size, text)) return -1;
    volatile std::size_t sink = 0;
    auto operations = kestrel::operations_from_hall(text);
    if (operations.ok()) sink = sink + operations->size();
    if (const kestrel::SpaceGroupSetting* s = kestrel::find_setting_by_hall(text)) sink = sink + s->hall.size();
    if (const kestrel::SpaceGroupSetting* s = kestrel::find_setting_by_hermann_mauguin(text))
        sink = sink + kestrel::setting_operations(*s).size();
    return 0;
}
