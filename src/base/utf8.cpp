#include "base/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace kestrel {

bool Utf8Stream::feed(const char* data, std::size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    while (i < size) {
        if (pending_ == 0) {
            // Structure files are almost all ASCII: pass it eight bytes at a time.
            while (i + 8 <= size) {
                std::uint64_t word;
                std::memcpy(&word, bytes + i, 8);
                if (word & 0x8080808080808080ULL) break;
                i += 8;
            }
            if (i == size) break;
            const unsigned char lead = bytes[i++];
            if (lead < 0x80) continue;
            low_ = 0x80;
            high_ = 0xBF;
            if (lead >= 0xC2 && lead <= 0xDF) {
                pending_ = 1;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                pending_ = 2;
                if (lead == 0xE0) low_ = 0xA0;        // overlong
                else if (lead == 0xED) high_ = 0x9F;  // surrogates
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                pending_ = 3;
                if (lead == 0xF0) low_ = 0x90;        // overlong
                else if (lead == 0xF4) high_ = 0x8F;  // above U+10FFFF
            } else {
                return false;
            }
        } else {
            const unsigned char next = bytes[i++];
            if (next < low_ || next > high_) return false;
            low_ = 0x80;
            high_ = 0xBF;
            --pending_;
        }
    }
    return true;
}

bool is_valid_utf8(std::string_view bytes) {
    Utf8Stream stream;
    return stream.feed(bytes.data(), bytes.size()) && stream.complete();
}

}  // namespace kestrel
