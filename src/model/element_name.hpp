// An element's name as a site stores it: an opaque byte string ("Fe" and
// "fe" are different elements). Names of up to 15 bytes sit inside the
// 16-byte record; longer ones, which only callers' own labels reach, get a
// heap block of their own. So millions of sites cost no allocation for
// their names, and comparing two short names reads no memory elsewhere.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kestrel {

class ElementName {
public:
    static constexpr std::size_t kInlineCapacity = 15;
    // Byte kTagByte of the record is an inline name's length (0 to 15) or
    // 0xff for a name on the heap, never kFreeTag: a record that holds a
    // name at its start can set that byte to kFreeTag to say it holds
    // something else.
    static constexpr std::size_t kTagByte = 15;
    static constexpr unsigned char kFreeTag = 0xfe;

    ElementName() noexcept : bytes_{} {}
    // Implicit, so that every reader and caller can hand over a string.
    ElementName(std::string_view text) : bytes_{} {
        if (text.size() > kInlineCapacity) {
            store_long(text);
        } else {
            std::memcpy(bytes_, text.data(), text.size());
            bytes_[kTagByte] = static_cast<unsigned char>(text.size());
        }
    }
    ElementName(const std::string& text) : ElementName(std::string_view(text)) {}
    ElementName(const char* text) : ElementName(std::string_view(text)) {}
    ElementName(const ElementName& other) : bytes_{} {
        if (other.on_heap()) store_long(other.view());
        else std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    }
    ElementName(ElementName&& other) noexcept { take(other); }
    ElementName& operator=(const ElementName& other);
    ElementName& operator=(ElementName&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~ElementName() { release(); }

    std::size_t size() const noexcept { return on_heap() ? heap_size() : bytes_[kTagByte]; }
    bool empty() const noexcept { return size() == 0; }
    const char* data() const noexcept { return on_heap() ? heap_data() : reinterpret_cast<const char*>(bytes_); }
    std::string_view view() const noexcept { return {data(), size()}; }
    operator std::string_view() const noexcept { return view(); }
    std::string str() const { return std::string(view()); }
    // Bytes held outside the record (0 for an inline name).
    std::size_t heap_bytes() const noexcept { return on_heap() ? heap_size() : 0; }

    friend bool operator==(const ElementName& a, const ElementName& b) noexcept {
        // A name is inline exactly when it is short, and inline names are
        // zero-padded, so different tags mean different names and two
        // inline names compare as 16 bytes.
        if (a.bytes_[kTagByte] != b.bytes_[kTagByte]) return false;
        if (!a.on_heap()) return a.same_bytes(b);
        return a.view() == b.view();
    }
    friend bool operator==(const ElementName& a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(const ElementName& a, const std::string& b) noexcept { return a.view() == b; }
    friend bool operator==(const ElementName& a, const char* b) noexcept { return a.view() == b; }
    // Byte-wise, as std::string orders.
    friend std::strong_ordering operator<=>(const ElementName& a, const ElementName& b) noexcept {
        return a.view() <=> b.view();
    }

private:
    static constexpr unsigned char kHeapTag = 0xff;  // bytes 0-7 a pointer, 8-11 the length

    void store_long(std::string_view text);
    bool on_heap() const noexcept { return bytes_[kTagByte] == kHeapTag; }
    std::size_t heap_size() const noexcept {
        std::uint32_t size;
        std::memcpy(&size, bytes_ + 8, sizeof size);
        return size;
    }
    char* heap_data() const noexcept {
        char* data;
        std::memcpy(&data, bytes_, sizeof data);
        return data;
    }
    bool same_bytes(const ElementName& other) const noexcept { return std::memcmp(bytes_, other.bytes_, 16) == 0; }
    // Moves other's bytes here and leaves it empty.
    void take(ElementName& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        std::memset(other.bytes_, 0, sizeof other.bytes_);
    }
    void release() noexcept {
        if (on_heap()) delete[] heap_data();
    }

    alignas(8) unsigned char bytes_[16];
};

}  // namespace kestrel
