// The tokens of one line, read without allocating. Atom lines are the hot
// loop of every coordinate reader, so ASCII lines get a vectorised path.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/text.hpp"

namespace kestrel {

// The tokens of an atom line. For ASCII lines of up to 255 bytes the
// whitespace positions are found sixteen bytes at a time into a bitmap, and
// tokens are read off it with bit scans: no branch per byte. Other lines
// take the byte-by-byte path, which knows the Unicode spaces.
class LineTokens {
public:
    explicit LineTokens(std::string_view line) : line_(line), rest_(line) {
        const std::size_t size = line.size();
        if (size >= kMaxFast) return;
        alignas(16) char padded[kMaxFast + 1];
        const std::size_t blocks = (size + 16) / 16;  // at least one byte of padding
        std::memcpy(padded, line.data(), size);
        std::memset(padded + size, ' ', blocks * 16 - size);
        for (std::uint64_t& word : space_) word = ~std::uint64_t{0};
        for (std::size_t b = 0; b < blocks; ++b) {
            std::uint64_t high = 0, space = 0;
#if defined(__SSE2__)
            const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(padded + 16 * b));
            high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
            // Space, or 0x09-0x0D: (byte - 9) as unsigned is at most 4.
            const __m128i shifted = _mm_sub_epi8(bytes, _mm_set1_epi8(9));
            const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(4)), shifted);
            const __m128i blank = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
            space = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, blank)));
#else
            for (int k = 0; k < 16; ++k) {
                const auto byte = static_cast<unsigned char>(padded[16 * b + k]);
                high |= std::uint64_t{byte >= 0x80} << k;
                space |= std::uint64_t{byte == ' ' || (byte >= 0x09 && byte <= 0x0D)} << k;
            }
#endif
            if (high != 0) return;
            const std::size_t shift = (16 * b) % 64;
            std::uint64_t& word = space_[16 * b / 64];
            word = (word & ~(std::uint64_t{0xFFFF} << shift)) | (space << shift);
        }
        fast_ = true;
    }

    // The next token, empty at the end of the line.
    std::string_view next() {
        if (!fast_) return next_token(rest_);
        const std::size_t start = find(pos_, false);
        if (start >= line_.size()) return {};
        pos_ = find(start, true);  // the padding after the line is whitespace
        return line_.substr(start, pos_ - start);
    }

private:
    static constexpr std::size_t kMaxFast = 255;

    // The first position from `from` whose bit is `space`; kWords * 64 if none.
    std::size_t find(std::size_t from, bool space) const {
        std::size_t w = from / 64;
        if (w >= kWords) return kWords * 64;
        std::uint64_t bits = (space ? space_[w] : ~space_[w]) & (~std::uint64_t{0} << (from % 64));
        while (bits == 0) {
            if (++w == kWords) return kWords * 64;
            bits = space ? space_[w] : ~space_[w];
        }
        return w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
    }

    static constexpr std::size_t kWords = 4;
    std::string_view line_, rest_;
    bool fast_ = false;
    std::size_t pos_ = 0;
    std::uint64_t space_[kWords];
};

}  // namespace kestrel
