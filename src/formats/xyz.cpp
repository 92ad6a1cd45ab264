#include "formats/xyz.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/text.hpp"
#include "formats/xyz_frame.hpp"

namespace kestrel {

Result<Structure> read_xyz(std::string_view text) {
    // Lines are taken one at a time: a view per line of a large file, held
    // at once, would cost a third of the text again.
    std::string_view rest = text;
    const std::string_view count_line = take_line(rest);
    if (rest.empty()) return fail("XYZ file is too short");
    const std::string_view comment = take_line(rest);
    const std::optional<std::uint64_t> count = parse_count(trim(count_line));
    if (!count) return fail_at_line(1, "first line of an XYZ file must be the atom count");

    // The count comes from the text: reserve no more than the bytes left can
    // hold (an atom line takes at least 8: "X 0 0 0" and its line end).
    const std::uint64_t room = rest.size() / 8 + 1;
    XyzFrameParser frame(
        comment, std::nullopt,
        fail("this XYZ file has no Lattice=\"...\" field, so it has no cell and no periodic RDF can be computed"), "",
        static_cast<std::size_t>(std::min(*count, room)));
    // A file has one frame to report on, so its first failure is the answer.
    for (std::uint64_t i = 0; i < *count && !frame.failed(); ++i) {
        if (rest.empty())
            return fail("XYZ ends after " + std::to_string(i) + " of " + std::to_string(*count) + " atoms");
        frame.add(take_line(rest), i + 1);
        if (i + 1 == *count && rest.empty() && !frame.failed() && !ends_with_line_end(text))
            return fail_at_line(3 + i, unended_last_line_message("on atom line " + std::to_string(i + 1)));
    }
    // The comment is line 2 and atom line j is line 2 + j; a failure of the
    // whole (no sites) has no line.
    const std::uint64_t failed_line = frame.failed() ? 2 + frame.failed_atom_line() : 0;
    Result<Structure> structure = std::move(frame).finish();
    if (!structure) return at_line(structure.take_error(), failed_line);
    return structure;
}

}  // namespace kestrel
