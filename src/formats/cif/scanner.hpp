// The line-oriented CIF subset: tags with values, loop_ tables, text fields,
// quoted values and comments. Data blocks are not kept apart.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrel {

// One line to values: whitespace separates; a quote at the start of a value
// groups up to the same quote followed by whitespace or the line's end (an
// unclosed one runs to the end); '#' at the start of a value comments out
// the rest of the line.
std::vector<std::string_view> cif_tokenize(std::string_view line);

// A value as a number: quotes stripped, '.', '?' and empty give nothing, a
// standard uncertainty '(5)' is cut off, anything unreadable gives nothing.
std::optional<double> cif_number(std::string_view value);

// A value as an element symbol: an ASCII letter (upper-cased) and a
// following lower-case letter if there is one; nothing otherwise.
std::optional<std::string> cif_element(std::string_view value);

struct CifLoop {
    std::vector<std::string> tags;       // lower case
    std::vector<std::string_view> values;  // row-major, tags.size() per row

    std::size_t n_rows() const { return tags.empty() ? 0 : values.size() / tags.size(); }
    std::optional<std::size_t> column(std::string_view tag) const;
    std::string_view at(std::size_t row, std::size_t column) const { return values[row * tags.size() + column]; }
};

// Every tag and loop of a text. Values are views into the text or into
// `owned` (values assembled from several pieces), so the text must outlive it.
struct CifDocument {
    std::unordered_map<std::string, std::string_view> tags;  // lower-case names; last value wins
    std::vector<CifLoop> loops;                            // file order
    std::deque<std::string> owned;

    const std::string_view* tag(const std::string& name) const;
};

CifDocument scan_cif(std::string_view text);

}  // namespace kestrel
