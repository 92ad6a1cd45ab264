// ASCII character tests and case folding. File formats spell their keywords,
// tags and element symbols in ASCII, so folding ASCII only is enough and
// keeps every byte where it stands (positions found in a folded copy are
// positions in the original).
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

inline bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}
inline bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// Printable ASCII is never whitespace: the common case, decided without a call.
inline bool is_visible_ascii(char c) {
    return c > 0x20 && c < 0x7F;
}

inline char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string ascii_lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = ascii_lower(c);
    return lower;
}

// `lower_word` must already be lower case.
inline bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (ascii_lower(text[i]) != lower_word[i]) return false;
    return true;
}

// `lower_prefix` must already be lower case.
inline bool starts_with_ignoring_case(std::string_view text, std::string_view lower_prefix) {
    return text.size() >= lower_prefix.size() &&
           equals_ignoring_case(text.substr(0, lower_prefix.size()), lower_prefix);
}

// `text` without any run of `quote` characters at either end.
inline std::string_view strip_quotes(std::string_view text, char quote) {
    while (!text.empty() && text.front() == quote) text.remove_prefix(1);
    while (!text.empty() && text.back() == quote) text.remove_suffix(1);
    return text;
}

}  // namespace kestrel
