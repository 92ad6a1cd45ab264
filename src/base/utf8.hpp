// UTF-8 validation for text read from files: whole texts and streams.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrel {

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF),
// fed in arbitrary pieces: a character may be cut anywhere.
class Utf8Stream {
public:
    // False at the first byte that cannot continue valid UTF-8.
    bool feed(const char* data, std::size_t size);
    // True when no character is left half-finished.
    bool complete() const { return pending_ == 0; }

private:
    unsigned pending_ = 0;                    // continuation bytes still expected
    unsigned char low_ = 0x80, high_ = 0xBF;  // allowed range of the next one
};

// How the readers word text that is not UTF-8.
inline constexpr const char* kInvalidUtf8Message = "stream did not contain valid UTF-8";

// The whole of `bytes` is valid UTF-8, by the rules of Utf8Stream.
bool is_valid_utf8(std::string_view bytes);

}  // namespace kestrel
