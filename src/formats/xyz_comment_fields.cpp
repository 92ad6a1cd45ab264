#include "formats/xyz_comment_fields.hpp"

#include <string>

#include "base/ascii.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"

namespace kestrel {
namespace {

// Deliberately narrower than is_space: a vertical tab or a non-breaking
// space before the key does not separate it from a preceding word.
bool is_field_boundary(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

}  // namespace

std::optional<std::string_view> find_comment_field(std::string_view line, std::string_view key) {
    // ASCII lower-casing keeps every byte in place, so positions found in the
    // copy are positions in the line.
    const std::string haystack = ascii_lower(line);
    const std::string needle = ascii_lower(key) + "=";
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = haystack.find(needle, from);
        if (at == std::string::npos) return std::nullopt;
        if (at == 0 || is_field_boundary(haystack[at - 1])) {
            std::string_view rest = line.substr(at + needle.size());
            if (rest.empty()) return rest;
            if (rest.front() == '"') {
                rest.remove_prefix(1);
                return rest.substr(0, rest.find('"'));
            }
            std::size_t end = 0;
            while (end < rest.size() && space_length_at(rest, end) == 0) ++end;
            return rest.substr(0, end);
        }
        from = at + needle.size();
    }
}

Result<ColumnLayout> parse_properties(std::string_view value) {
    const std::vector<std::string_view> pieces = split_on(value, ':');
    if (pieces.size() % 3 != 0) return fail("cannot read Properties=" + std::string(value));
    std::optional<std::uint64_t> species, position;
    std::uint64_t column = 0;
    for (std::size_t i = 0; i < pieces.size(); i += 3) {
        const std::optional<std::uint64_t> count = parse_count(pieces[i + 2]);
        if (!count) return fail("bad column count in Properties=" + std::string(value));
        const std::string name = ascii_lower(pieces[i]);
        if (name == "species" || name == "element" || name == "elements" || name == "symbols") species = column;
        else if (name == "pos" || name == "positions") position = column;
        // Absurd counts cannot wrap the index round to a small column; a
        // saturated index just makes every atom line too short.
        column = saturating_add(column, *count);
    }
    if (!species || !position) return fail("Properties=" + std::string(value) + " names no species or pos column");
    return ColumnLayout{*species, *position};
}

}  // namespace kestrel
