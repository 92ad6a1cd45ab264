#include "formats/xyz.hpp"

#include <optional>
#include <string>
#include <vector>

#include "base/text.hpp"

namespace kestrel {
namespace {

// The text after `Lattice="` (or, failing that, `lattice="`) up to the next
// double quote. Only these two exact spellings count.
Result<std::string_view> lattice_field(std::string_view comment) {
    std::size_t at = comment.find("Lattice=\"");
    if (at == std::string_view::npos) at = comment.find("lattice=\"");
    if (at == std::string_view::npos)
        return fail(
            "this XYZ file has no Lattice=\"...\" field, so it has no cell and no periodic RDF can be computed");
    const std::size_t start = at + 9;
    const std::size_t close = comment.find('"', start);
    if (close == std::string_view::npos) return fail("unterminated Lattice=\"...\" field");
    return comment.substr(start, close - start);
}

Result<Lattice> read_lattice(std::string_view comment) {
    Result<std::string_view> field = lattice_field(comment);
    if (!field) return field.take_error();
    double numbers[9];
    std::size_t count = 0;
    std::string_view rest = *field;
    for (std::string_view token = next_token(rest); !token.empty(); token = next_token(rest)) {
        Result<double> number = parse_number(token);
        if (!number) return number.take_error();
        if (count < 9) numbers[count] = *number;
        ++count;
    }
    if (count != 9) return fail("Lattice=\"...\" must hold 9 numbers, found " + std::to_string(count));
    Mat3 matrix;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) matrix[i][j] = numbers[3 * i + j];
    return make_lattice(matrix);
}

}  // namespace

Result<Structure> read_xyz(std::string_view text) {
    const std::vector<std::string_view> lines = split_lines(text);
    if (lines.size() < 2) return fail("XYZ file is too short");
    const std::optional<std::uint64_t> count = parse_count(trim(lines[0]));
    if (!count) return fail("first line of an XYZ file must be the atom count");
    Result<Lattice> lattice = read_lattice(lines[1]);
    if (!lattice) return lattice.take_error();

    // The count comes from the text: reserve no more than the lines left can hold.
    const std::size_t available = lines.size() - 2;
    std::vector<Site> sites;
    sites.reserve(*count < available ? static_cast<std::size_t>(*count) : available);
    for (std::uint64_t i = 0; i < *count; ++i) {
        if (i >= available)
            return fail("XYZ ends after " + std::to_string(i) + " of " + std::to_string(*count) + " atoms");
        std::string_view rest = lines[2 + i];
        std::string_view tokens[4];
        for (std::string_view& token : tokens) token = next_token(rest);
        if (tokens[3].empty()) return fail("atom line " + std::to_string(i + 1) + " is incomplete");
        Vec3 cart;
        for (int axis = 0; axis < 3; ++axis) {
            std::optional<double> value = try_parse_number(tokens[1 + axis]);
            if (!value) return fail(number_error_message(tokens[1 + axis]));
            cart[axis] = *value;
        }
        sites.push_back(Site{lattice->to_fractional(cart), {SpeciesOccupancy{element_symbol(tokens[0]), 1.0}}});
    }
    return make_structure(std::move(*lattice), std::move(sites));
}

}  // namespace kestrel
