// CIF 1.1 syntax: data blocks of tags with values and loop_ tables. Values
// and tags are separated by whitespace, not lines; text fields run between
// ';' lines; quoted values and comments follow the CIF conventions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.hpp"

namespace kestrel {

// A value as a number: quotes stripped, '.', '?' and empty give nothing, a
// standard uncertainty '(5)' is cut off, a fraction '3/4' is divided out,
// anything unreadable gives nothing.
std::optional<double> cif_number(std::string_view value);

// Whether a value carries nothing: empty, '.' (inapplicable) or '?' (unknown).
bool cif_value_missing(std::string_view value);

// Where a loop value lies in the text, counted from the loop's start: 8
// bytes instead of a view's 16, so that a loop of millions of rows stays
// small beside its text. Values are never copied.
struct CifSpan {
    std::uint32_t offset;
    std::uint32_t length;
};

class CifLoop {
public:
    // `start`: the text of the loop, at or before its first value.
    explicit CifLoop(const char* start = nullptr) : start_(start) {}

    std::vector<std::string> tags;  // lower case

    // Whole rows only: a loop whose values stop inside a row is refused.
    std::size_t n_rows() const { return tags.empty() ? 0 : size_ / tags.size(); }
    std::size_t n_values() const { return size_; }
    std::optional<std::size_t> column(std::string_view tag) const;
    std::string_view at(std::size_t row, std::size_t column) const { return value(row * tags.size() + column); }
    // Row-major: tags.size() per row.
    std::string_view value(std::size_t index) const {
        const CifSpan span = chunks_[index >> kChunkBits][index & kChunkMask];
        return {start_ + span.offset, span.length};
    }

    // False, adding nothing, for a value that ends 4 GiB or more past the
    // loop's start.
    bool add(std::string_view value) {
        const auto offset = static_cast<std::uint64_t>(value.data() - start_);
        if (offset + value.size() > UINT32_MAX) return false;
        if (chunks_.empty() || chunks_.back().size() == kChunkMask + 1) new_chunk();
        chunks_.back().push_back({static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(value.size())});
        ++size_;
        return true;
    }

private:
    void new_chunk();

    // Values sit in chunks of fixed size, so that growing a loop never
    // holds its values twice while they are copied.
    static constexpr std::size_t kChunkBits = 14;
    static constexpr std::size_t kChunkMask = (std::size_t{1} << kChunkBits) - 1;

    const char* start_;
    std::vector<std::vector<CifSpan>> chunks_;
    std::size_t size_ = 0;
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

// Values are views into the text or into `owned` (tag values assembled from
// several words), so the text must outlive the document.
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
// smaller structure out of a broken file would lose atoms silently. A loop
// spanning 4 GiB or more of text is refused as beyond this reader's limits.
// One pass over the text; what it keeps besides the text is 8 bytes per
// loop value and the tags.
Result<CifDocument> scan_cif(std::string_view text);

}  // namespace kestrel
