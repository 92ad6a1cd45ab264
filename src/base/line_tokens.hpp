// The tokens of one line, read without allocating. Atom lines are the hot
// loop of every coordinate reader, so ASCII text is scanned in line and
// numbers can be read in the same pass that finds them.
#pragma once

#include <string_view>

#include "base/fast_decimal.hpp"
#include "base/text.hpp"

namespace kestrel {
namespace detail {

enum class ByteKind : unsigned char { plain, blank, multibyte };

// One table load per byte instead of a chain of comparisons.
struct ByteKinds {
    ByteKind of[256];
    constexpr ByteKinds() : of{} {
        for (int b = 0; b < 256; ++b)
            of[b] = b >= 0x80                              ? ByteKind::multibyte
                    : b == ' ' || (b >= '\t' && b <= '\r') ? ByteKind::blank
                                                           : ByteKind::plain;
    }
};
inline constexpr ByteKinds kByteKinds{};

}  // namespace detail

// The tokens of an atom line. ASCII is split on its six whitespace bytes
// here, one test per byte; from the first byte of a multibyte character on,
// the rest of the line takes the byte-by-byte tokeniser, which knows the
// Unicode spaces.
class LineTokens {
public:
    explicit LineTokens(std::string_view line) : at_(line.data()), end_(line.data() + line.size()) {}

    // The next token, empty at the end of the line.
    std::string_view next() {
        if (ascii_) {
            const char* start = skip_blanks();
            const char* p = start;
            while (p < end_ && is_plain(*p)) ++p;
            if (p == end_ || is_blank(*p)) {
                at_ = p;
                return {start, static_cast<std::size_t>(p - start)};
            }
            ascii_ = false;
            rest_ = std::string_view(start, static_cast<std::size_t>(end_ - start));
        }
        return next_token(rest_);
    }

    // The next token read as a number in the same pass, when the exact
    // fast path of the number grammar takes it whole: true with `value`.
    // Otherwise false with `token` (empty at the end of the line), which the
    // caller parses in full.
    bool next_decimal(std::string_view& token, double& value) {
        if (ascii_) {
            const char* start = skip_blanks();
            const std::size_t length = detail::fast_decimal_prefix(start, end_, value);
            if (length != 0 && (start + length == end_ || is_blank(start[length]))) {
                at_ = start + length;
                token = std::string_view(start, length);
                return true;
            }
        }
        token = next();
        return false;
    }

private:
    static detail::ByteKind kind(char c) { return detail::kByteKinds.of[static_cast<unsigned char>(c)]; }
    static bool is_blank(char c) { return kind(c) == detail::ByteKind::blank; }
    static bool is_plain(char c) { return kind(c) == detail::ByteKind::plain; }

    const char* skip_blanks() {
        const char* p = at_;
        while (p < end_ && is_blank(*p)) ++p;
        return at_ = p;
    }

    const char* at_;
    const char* end_;
    bool ascii_ = true;
    std::string_view rest_;  // what the byte-by-byte tokeniser has left, once it took over
};

}  // namespace kestrel
