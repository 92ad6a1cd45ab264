#include "formats/xyz.hpp"

#include <optional>
#include <string>
#include <vector>

#include "base/text.hpp"
#include "formats/xyz_frame.hpp"

namespace kestrel {

Result<Structure> read_xyz(std::string_view text) {
    const std::vector<std::string_view> lines = split_lines(text);
    if (lines.size() < 2) return fail("XYZ file is too short");
    const std::optional<std::uint64_t> count = parse_count(trim(lines[0]));
    if (!count) return fail_at_line(1, "first line of an XYZ file must be the atom count");

    // The count comes from the text: reserve no more than the lines left can hold.
    const std::size_t available = lines.size() - 2;
    XyzFrameParser frame(
        lines[1], std::nullopt,
        fail("this XYZ file has no Lattice=\"...\" field, so it has no cell and no periodic RDF can be computed"), "",
        *count < available ? static_cast<std::size_t>(*count) : available);
    // A file has one frame to report on, so its first failure is the answer.
    for (std::uint64_t i = 0; i < *count && !frame.failed(); ++i) {
        if (i >= available)
            return fail("XYZ ends after " + std::to_string(i) + " of " + std::to_string(*count) + " atoms");
        frame.add(lines[2 + i], i + 1);
        if (i + 1 == *count && 3 + i == lines.size() && !frame.failed() && !ends_with_line_end(text))
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
