#include "formats/xyz_frame.hpp"

#include <algorithm>

#include "base/line_tokens.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"

namespace kestrel {

Result<Lattice> lattice_from_field(std::string_view value) {
    Result<std::vector<double>> numbers = parse_numbers(split_tokens(value));
    if (!numbers) return numbers.take_error();
    if (numbers->size() != 9)
        return fail("Lattice=\"...\" must hold 9 numbers, found " + std::to_string(numbers->size()));
    Mat3 rows;
    for (std::size_t i = 0; i < 9; ++i) rows[i / 3][i % 3] = (*numbers)[i];
    return make_lattice(rows);
}

XyzFrameParser::XyzFrameParser(std::string_view comment, const std::optional<Mat3>& cell, StructureError no_cell_error,
                               std::string line_label, std::size_t expected_sites)
    : line_label_(std::move(line_label)) {
    if (!read_comment(comment, cell, std::move(no_cell_error))) return;
    // Saturates rather than wraps for absurd column indices: no line has
    // that many tokens, so every line is then incomplete.
    const std::uint64_t last = std::max(layout_.species, saturating_add(layout_.position, 2));
    tokens_needed_ = saturating_add(last, 1);
    sites_.reserve(expected_sites);
}

bool XyzFrameParser::read_comment(std::string_view comment, const std::optional<Mat3>& cell,
                                  StructureError no_cell_error) {
    Result<Lattice> lattice = std::move(no_cell_error);
    if (std::optional<std::string_view> field = find_comment_field(comment, "Lattice")) {
        lattice = lattice_from_field(*field);
    } else if (cell) {
        lattice = make_lattice(*cell);
    }
    if (!lattice) {
        set_error(lattice.take_error());
        return false;
    }
    lattice_ = std::move(*lattice);
    if (std::optional<std::string_view> field = find_comment_field(comment, "Properties")) {
        Result<ColumnLayout> layout = parse_properties(*field);
        if (!layout) {
            set_error(layout.take_error());
            return false;
        }
        layout_ = *layout;
    }
    return true;
}

void XyzFrameParser::add(std::string_view line, std::uint64_t j) {
    LineTokens tokens(line);
    std::string_view species, coordinate[3];
    // Coordinates the fast path reads as the line is split; the others are
    // parsed once the line is known to be complete.
    Vec3 cart;
    bool read[3] = {false, false, false};
    std::uint64_t index = 0;
    for (; index < tokens_needed_; ++index) {
        const bool is_coordinate = index >= layout_.position && index - layout_.position < 3;
        std::string_view token;
        if (is_coordinate) {
            const std::uint64_t k = index - layout_.position;
            read[k] = tokens.next_decimal(token, cart[k]);
            if (read[k]) continue;
            coordinate[k] = token;
        } else {
            token = tokens.next();
        }
        if (token.empty()) break;
        if (index == layout_.species) species = token;
    }
    if (index < tokens_needed_)
        return set_error(fail(line_label_ + "atom line " + std::to_string(j) + " is incomplete"), j);
    for (int k = 0; k < 3; ++k) {
        if (read[k]) continue;
        const std::optional<double> value = try_parse_number(coordinate[k]);
        if (!value) return set_error(fail(number_error_message(coordinate[k])), j);
        cart[k] = *value;
    }
    sites_.push_back(Site{lattice_->to_fractional(cart), {SpeciesOccupancy{element_symbol(species), 1.0}}});
}

Result<Structure> XyzFrameParser::finish() && {
    if (error_) return std::move(*error_);
    return make_structure(std::move(*lattice_), std::move(sites_));
}

}  // namespace kestrel
