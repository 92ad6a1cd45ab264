// UTF-8 validation for text read from files.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrel {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// For streams: the length of a trailing incomplete (but so far valid)
// sequence at the end of `bytes`, which a reader keeps for its next chunk.
std::size_t incomplete_utf8_tail(std::string_view bytes);

}  // namespace kestrel
