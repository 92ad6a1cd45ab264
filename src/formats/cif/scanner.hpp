// CIF 1.1 syntax: data blocks of tags with values and loop_ tables. Values
// and tags are separated by whitespace, not lines; text fields run between
// ';' lines; quoted values and comments follow the CIF conventions.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.hpp"

namespace kestrel {

// One line to values: whitespace separates; a quote at the start of a value
// groups up to the same quote followed by whitespace or the line's end (an
// unclosed one runs to the end); '#' at the start of a value comments out
// the rest of the line.
std::vector<std::string_view> cif_tokenize(std::string_view line);

// A value as a number: quotes stripped, '.', '?' and empty give nothing, a
// standard uncertainty '(5)' is cut off, a fraction '3/4' is divided out,
// anything unreadable gives nothing.
std::optional<double> cif_number(std::string_view value);

// Whether a value carries nothing: empty, '.' (inapplicable) or '?' (unknown).
bool cif_value_missing(std::string_view value);

struct CifLoop {
    std::vector<std::string> tags;         // lower case
    std::vector<std::string_view> values;  // row-major, tags.size() per row, whole rows only

    std::size_t n_rows() const { return tags.empty() ? 0 : values.size() / tags.size(); }
    std::optional<std::size_t> column(std::string_view tag) const;
    std::string_view at(std::size_t row, std::size_t column) const { return values[row * tags.size() + column]; }
};

// The tags and loops of one data block. Tags written before any 'data_'
// header form a block without a name.
struct CifBlock {
    std::string name;
    std::unordered_map<std::string, std::string_view> tags;  // lower-case names; last value wins
    std::vector<CifLoop> loops;                              // file order

    const std::string_view* tag(const std::string& name) const;
    // The first loop with this column, or nullptr.
    const CifLoop* loop_with(std::string_view column) const;
};

// Values are views into the text or into `owned` (values assembled from
// several pieces), so the text must outlive the document.
struct CifDocument {
    std::vector<CifBlock> blocks;  // file order
    std::deque<std::string> owned;
};

// Whether the head of a text can start a CIF: it holds a data block
// header, a loop or a tag. Failure: "not a CIF: the first {n} of the text
// hold no data block, loop or tag". Used on the first megabyte of a file, so
// that a file of another kind (or a bomb of blanks) is refused before the
// rest of it is read.
std::optional<StructureError> check_cif_head(std::string_view head);

// Refuses, naming the line, a text that is cut short or whose loops do not
// fill whole rows: a text field that never closes, a quote open at the end
// of a last line without a line end, a loop whose last row lacks values, a
// last loop row without a line end (its last value may be cut). Reading a
// smaller structure out of a broken file would lose atoms silently.
Result<CifDocument> scan_cif(std::string_view text);

}  // namespace kestrel
