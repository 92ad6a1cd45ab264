#include "formats/poscar.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "base/text.hpp"

namespace kestrel {
namespace {

// Sums of counts can pass 2^64; the ends-after message still names the exact total.
using Total = unsigned __int128;

std::string decimal(Total value) {
    if (value == 0) return "0";
    std::string digits;
    while (value > 0) {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    }
    return digits;
}

char first_character(std::string_view line) {
    const std::string_view rest = trim_start(line);
    return rest.empty() ? '\0' : rest.front();
}

enum class LineRead { ok, incomplete, bad_number };

// The first three numbers of a line. On a bad number, `bad` is its token.
LineRead three_numbers(std::string_view line, Vec3& values, std::string_view& bad) {
    std::string_view tokens[3];
    for (std::string_view& token : tokens) {
        token = next_token(line);
        if (token.empty()) return LineRead::incomplete;
    }
    for (int i = 0; i < 3; ++i) {
        std::optional<double> number = try_parse_number(tokens[i]);
        if (!number) {
            bad = tokens[i];
            return LineRead::bad_number;
        }
        values[i] = *number;
    }
    return LineRead::ok;
}

}  // namespace

Result<Structure> read_poscar(std::string_view text) {
    const std::vector<std::string_view> lines = split_lines(text);
    if (lines.size() < 8) return fail("POSCAR is too short to contain a structure");

    std::string_view scale_line = lines[1];
    Result<double> scale = parse_number(next_token(scale_line));
    if (!scale) return at_line(scale.take_error(), 2);

    Mat3 matrix;
    for (int i = 0; i < 3; ++i) {
        std::string_view bad;
        const LineRead read = three_numbers(lines[2 + i], matrix[i], bad);
        const std::uint64_t line = 3 + static_cast<std::uint64_t>(i);
        if (read == LineRead::incomplete)
            return fail_at_line(line, "lattice vector " + std::to_string(i + 1) + " is incomplete");
        if (read == LineRead::bad_number) return fail_at_line(line, number_error_message(bad));
    }

    // A negative scale is the cell volume.
    double factor = *scale;
    if (*scale < 0.0) {
        Result<Lattice> unscaled = make_lattice(matrix);
        if (!unscaled) return unscaled.take_error();
        factor = std::cbrt(-*scale / std::fabs(determinant(matrix)));
    }
    for (Vec3& row : matrix)
        for (double& value : row) value *= factor;
    Result<Lattice> lattice = make_lattice(matrix);
    if (!lattice) return lattice.take_error();

    // VASP 5 names the species on line 6; VASP 4 has the counts there and the
    // species on the comment line.
    std::string_view line6 = lines[5];
    const std::string_view first6 = next_token(line6);
    const bool vasp5 = !first6.empty() && !parse_count(first6);
    const std::vector<std::string_view> names = split_tokens(vasp5 ? lines[5] : lines[0]);
    const std::size_t counts_line = vasp5 ? 6 : 5;

    std::vector<std::uint64_t> counts;
    Total total = 0;
    for (std::string_view token : split_tokens(lines[counts_line])) {
        std::optional<std::uint64_t> count = parse_count(token);
        if (!count) return fail_at_line(counts_line + 1, "bad atom count '" + std::string(token) + "'");
        counts.push_back(*count);
        total += *count;
    }
    if (names.size() < counts.size())
        return fail_at_line(
            counts_line + 1,
            "POSCAR does not name one species per atom count (VASP 4 files need the species on the comment line)");

    std::size_t mode_line = counts_line + 1;  // always present: the text has at least 8 lines
    const char selective = first_character(lines[mode_line]);
    if (selective == 'S' || selective == 's') {
        ++mode_line;
        if (mode_line >= lines.size()) return fail("POSCAR ends before the coordinates");
    }
    const char mode = first_character(lines[mode_line]);
    const bool cartesian = mode == 'C' || mode == 'c' || mode == 'K' || mode == 'k';

    // The counts come from the text: reserve no more than the lines left can hold.
    const std::size_t first_coordinate = mode_line + 1;
    const std::size_t available = lines.size() - first_coordinate;
    std::vector<Site> sites;
    sites.reserve(total < available ? static_cast<std::size_t>(total) : available);

    std::size_t k = 0;
    for (std::size_t species = 0; species < counts.size(); ++species) {
        const std::string element = element_symbol(names[species]);
        for (std::uint64_t n = 0; n < counts[species]; ++n, ++k) {
            if (k >= available)
                return fail("POSCAR ends after " + std::to_string(k) + " of " + decimal(total) + " coordinates");
            Vec3 frac;
            std::string_view bad;
            const LineRead read = three_numbers(lines[first_coordinate + k], frac, bad);
            const std::uint64_t line = first_coordinate + k + 1;
            if (read == LineRead::incomplete)
                return fail_at_line(line, "coordinate line " + std::to_string(k + 1) + " is incomplete");
            if (read == LineRead::bad_number) return fail_at_line(line, number_error_message(bad));
            if (k + 1 == total && line == lines.size() && !ends_with_line_end(text))
                return fail_at_line(line, unended_last_line_message("on coordinate line " + std::to_string(k + 1)));
            if (cartesian) {
                for (double& value : frac) value *= factor;
                frac = lattice->to_fractional(frac);
            }
            sites.push_back(Site{frac, {SpeciesOccupancy{element, 1.0}}});
        }
    }
    return make_structure(std::move(*lattice), std::move(sites));
}

}  // namespace kestrel
