#include "model/element_name.hpp"

#include <limits>
#include <stdexcept>

namespace kestrel {

void ElementName::store_long(std::string_view text) {
    // The length is kept in 32 bits; no reader or caller comes near 4 GiB.
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("element name too long");
    char* data = new char[text.size()];
    std::memcpy(data, text.data(), text.size());
    const auto size = static_cast<std::uint32_t>(text.size());
    std::memcpy(bytes_, &data, sizeof data);
    std::memcpy(bytes_ + 8, &size, sizeof size);
    bytes_[kTagByte] = kHeapTag;
}

ElementName& ElementName::operator=(const ElementName& other) {
    if (this != &other) *this = ElementName(other);
    return *this;
}

}  // namespace kestrel
