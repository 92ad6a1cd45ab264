#include "model/species_list.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace kestrel {

SpeciesList::SpeciesList(std::initializer_list<SpeciesOccupancy> entries) : SpeciesList() {
    reserve(entries.size());
    for (const SpeciesOccupancy& entry : entries) push_back(entry);
}

SpeciesList::SpeciesList(const SpeciesList& other) : SpeciesList() {
    reserve(other.size());
    for (const SpeciesOccupancy& entry : other) push_back(entry);
}

SpeciesList& SpeciesList::operator=(const SpeciesList& other) {
    if (this != &other) *this = SpeciesList(other);
    return *this;
}

SpeciesList::iterator SpeciesList::erase(const_iterator first, const_iterator last) {
    const auto from = static_cast<std::size_t>(first - begin()), to = static_cast<std::size_t>(last - begin());
    if (from == to) return begin() + from;
    if (!spilled()) {
        clear();
        return begin();
    }
    iterator kept = std::move(begin() + to, end(), begin() + from);
    std::destroy(kept, end());
    spill_.size -= static_cast<std::uint32_t>(to - from);
    return begin() + from;
}

std::size_t SpeciesList::heap_bytes() const noexcept {
    std::size_t bytes = spilled() ? spill_.capacity * sizeof(SpeciesOccupancy) : 0;
    for (const SpeciesOccupancy& entry : *this) bytes += entry.element.heap_bytes();
    return bytes;
}

void SpeciesList::grow(std::uint64_t capacity) {
    const std::size_t count = size();
    if (capacity > UINT32_MAX) throw std::length_error("too many species on one site");
    std::allocator<SpeciesOccupancy> allocator;
    SpeciesOccupancy* block = allocator.allocate(capacity);
    SpeciesOccupancy* old = data();
    for (std::size_t i = 0; i < count; ++i) {
        std::construct_at(block + i, std::move(old[i]));
        std::destroy_at(old + i);
    }
    if (spilled() && spill_.capacity > 0) allocator.deallocate(spill_.data, spill_.capacity);
    std::construct_at(&spill_, Spill{block, static_cast<std::uint32_t>(count), {}, ElementName::kFreeTag, capacity});
}

void SpeciesList::take(SpeciesList& other) noexcept {
    if (other.spilled()) {
        std::construct_at(&spill_, other.spill_);
    } else {
        std::construct_at(&one_, std::move(other.one_));
        std::destroy_at(&other.one_);
    }
    other.set_empty();
}

void SpeciesList::release() noexcept {
    std::destroy(begin(), end());
    if (spilled() && spill_.capacity > 0) std::allocator<SpeciesOccupancy>().deallocate(spill_.data, spill_.capacity);
}

}  // namespace kestrel
