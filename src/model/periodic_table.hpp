// Element symbols by atomic number, for arrays that name elements by number.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrel {

constexpr std::uint32_t kHeaviestElement = 118;

// "H" for 1 ... "Og" for 118; nothing outside that range.
std::optional<std::string_view> element_of_number(std::int64_t z);

// 1 for "H" ... 118 for "Og"; nothing for other names (D and T included).
std::optional<std::uint32_t> number_of_element(std::string_view symbol);

}  // namespace kestrel
