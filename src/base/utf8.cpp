#include "base/utf8.hpp"

namespace kestrel {
namespace {

// Bytes a sequence starting with `lead` needs, or 0 for a byte that cannot lead.
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// The allowed range of the second byte, which rules out overlong forms,
// surrogates and code points above U+10FFFF.
bool second_byte_ok(unsigned char lead, unsigned char second) {
    if (lead == 0xE0) return second >= 0xA0 && second <= 0xBF;
    if (lead == 0xED) return second >= 0x80 && second <= 0x9F;
    if (lead == 0xF0) return second >= 0x90 && second <= 0xBF;
    if (lead == 0xF4) return second >= 0x80 && second <= 0x8F;
    return second >= 0x80 && second <= 0xBF;
}

bool is_continuation(unsigned char byte) { return byte >= 0x80 && byte <= 0xBF; }

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        // Plain ASCII is the common case: skip it eight bytes at a time.
        while (i + 8 <= size) {
            unsigned long long word = 0;
            for (int k = 0; k < 8; ++k) word |= static_cast<unsigned long long>(data[i + k]) << (8 * k);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= size) break;
        const unsigned char lead = data[i];
        const std::size_t length = sequence_length(lead);
        if (length == 0 || i + length > size) return false;
        if (length > 1) {
            if (!second_byte_ok(lead, data[i + 1])) return false;
            for (std::size_t k = 2; k < length; ++k)
                if (!is_continuation(data[i + k])) return false;
        }
        i += length;
    }
    return true;
}

std::size_t incomplete_utf8_tail(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    // A sequence is at most 4 bytes, so only the last 3 can be an unfinished one.
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const unsigned char byte = data[size - back];
        if (is_continuation(byte)) continue;
        const std::size_t length = sequence_length(byte);
        return length > back ? back : 0;
    }
    return 0;
}

}  // namespace kestrel
