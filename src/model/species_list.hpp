// The species of one site: its elements and their occupancies. Nearly every
// site of a large structure holds one element, so a list of one entry sits
// inside the 24-byte record and only mixed sites get a heap block; a
// structure of millions of ordered sites is then one array with nothing
// behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>

#include "model/element_name.hpp"

namespace kestrel {

struct SpeciesOccupancy {
    ElementName element;
    double occupancy;
};

// The part of std::vector's interface the sites need: iteration, indexing
// and appending, with entries contiguous in either form.
class SpeciesList {
public:
    using value_type = SpeciesOccupancy;
    using iterator = SpeciesOccupancy*;
    using const_iterator = const SpeciesOccupancy*;

    SpeciesList() noexcept { set_empty(); }
    SpeciesList(std::initializer_list<SpeciesOccupancy> entries);
    SpeciesList(const SpeciesList& other);
    SpeciesList(SpeciesList&& other) noexcept { take(other); }
    SpeciesList& operator=(const SpeciesList& other);
    SpeciesList& operator=(SpeciesList&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~SpeciesList() { release(); }

    std::size_t size() const noexcept { return spilled() ? spill_.size : 1; }
    bool empty() const noexcept { return size() == 0; }
    SpeciesOccupancy* data() noexcept { return spilled() ? spill_.data : &one_; }
    const SpeciesOccupancy* data() const noexcept { return spilled() ? spill_.data : &one_; }
    iterator begin() noexcept { return data(); }
    iterator end() noexcept { return data() + size(); }
    const_iterator begin() const noexcept { return data(); }
    const_iterator end() const noexcept { return data() + size(); }
    SpeciesOccupancy& operator[](std::size_t i) noexcept { return data()[i]; }
    const SpeciesOccupancy& operator[](std::size_t i) const noexcept { return data()[i]; }
    SpeciesOccupancy& front() noexcept { return data()[0]; }
    const SpeciesOccupancy& front() const noexcept { return data()[0]; }
    SpeciesOccupancy& back() noexcept { return data()[size() - 1]; }
    const SpeciesOccupancy& back() const noexcept { return data()[size() - 1]; }

    template <class... Args>
    SpeciesOccupancy& emplace_back(Args&&... args) {
        if (spilled() && spill_.capacity == 0) {
            std::construct_at(&one_, SpeciesOccupancy{std::forward<Args>(args)...});
            return one_;
        }
        // Built before growing: the arguments may name an entry of ours.
        SpeciesOccupancy entry{std::forward<Args>(args)...};
        if (!spilled() || spill_.size == spill_.capacity) grow(spilled() ? 2 * spill_.capacity : 4);
        return *std::construct_at(spill_.data + spill_.size++, std::move(entry));
    }
    void push_back(const SpeciesOccupancy& entry) { emplace_back(entry); }
    void push_back(SpeciesOccupancy&& entry) { emplace_back(std::move(entry)); }
    // Room for `count` entries without another allocation.
    void reserve(std::size_t count) {
        if (count > 1 && count > (spilled() ? spill_.capacity : 1)) grow(count);
    }
    // Removes [first, last), keeping the order of the rest.
    iterator erase(const_iterator first, const_iterator last);
    void clear() noexcept {
        release();
        set_empty();
    }
    // Bytes held outside the record: the entries' block and long names.
    std::size_t heap_bytes() const noexcept;

private:
    // The list when it is not one inline entry: empty (no block), or entries
    // in a heap block. `form` shares its byte with the tag byte of one_'s
    // name, which never holds kFreeTag, so that byte tells the forms apart.
    struct Spill {
        SpeciesOccupancy* data;
        std::uint32_t size;
        unsigned char unused[3];
        unsigned char form;  // always ElementName::kFreeTag
        std::uint64_t capacity;
    };
    static_assert(offsetof(Spill, form) == ElementName::kTagByte);

    bool spilled() const noexcept {
        // Read as a byte, which is allowed whichever member is alive.
        return reinterpret_cast<const unsigned char*>(this)[ElementName::kTagByte] == ElementName::kFreeTag;
    }
    void set_empty() noexcept { std::construct_at(&spill_, Spill{nullptr, 0, {}, ElementName::kFreeTag, 0}); }
    // Moves the entries to a heap block of `capacity` slots (above size()).
    void grow(std::uint64_t capacity);
    // Moves other's entries here (this holds none) and leaves it empty.
    void take(SpeciesList& other) noexcept;
    void release() noexcept;

    union {
        SpeciesOccupancy one_;  // the single entry, when not spilled()
        Spill spill_;
    };
};

static_assert(offsetof(SpeciesOccupancy, element) == 0);
static_assert(sizeof(SpeciesList) == sizeof(SpeciesOccupancy));

}  // namespace kestrel
