// Uninitialised arrays for the large tables a computation builds and drops
// on every call (coordinates sorted by grid cell, species by position).
// Taken fresh from the allocator, such a table comes back as pages the
// system must map and zero again on each call, which on a 64,000-atom RDF
// cost as much as the search. A released array's block goes to a small
// process-wide cache instead, and the next array of about its size takes it
// with its pages still mapped.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace kestrel {

namespace scratch_detail {
// A block of at least `bytes`, aligned for any fundamental type; `capacity`
// is set to its real size. Throws std::bad_alloc like operator new.
void* take(std::size_t bytes, std::size_t& capacity);
// Hands a block from take() back. Never throws.
void give(void* block, std::size_t capacity) noexcept;
// Bytes held by the cache right now (for tests).
std::size_t cached_bytes();
}  // namespace scratch_detail

// An owning array of n elements whose values start unspecified, like
// std::make_unique_for_overwrite<T[]>(n).
template <class T>
class ScratchArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "scratch arrays hold plain values: their memory is reused without constructors");

public:
    ScratchArray() = default;
    explicit ScratchArray(std::size_t n) : size_(n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        data_ = static_cast<T*>(scratch_detail::take(n * sizeof(T), capacity_));
    }
    ~ScratchArray() {
        if (data_ != nullptr) scratch_detail::give(data_, capacity_);
    }
    ScratchArray(ScratchArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ScratchArray& operator=(ScratchArray&& other) noexcept {
        ScratchArray(std::move(other)).swap(*this);
        return *this;
    }
    ScratchArray(const ScratchArray&) = delete;
    ScratchArray& operator=(const ScratchArray&) = delete;

    void swap(ScratchArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    T* get() { return data_; }
    const T* get() const { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    std::size_t size() const { return size_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kestrel
