#include "formats/cif/measured.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "base/ascii.hpp"
#include "base/text.hpp"

namespace kestrel {
namespace {

constexpr const char* kMeasuredTags[] = {"_cell_length_a",   "_cell_length_b",    "_cell_length_c", "_cell_angle_alpha",
                                         "_cell_angle_beta", "_cell_angle_gamma", "_cell_volume"};

bool is_measured_column(std::string_view tag) {
    if (tag == "_atom_site_occupancy" || tag == "_atom_site_u_iso_or_equiv" || tag == "_atom_site_b_iso_or_equiv")
        return true;
    // _atom_site_aniso_u_11 ... _atom_site_aniso_b_23
    for (std::string_view prefix : {"_atom_site_aniso_u_", "_atom_site_aniso_b_"})
        if (tag.size() == prefix.size() + 2 && tag.substr(0, prefix.size()) == prefix) return true;
    return false;
}

// Digits after the decimal point of a mantissa ('5.431' has 3), and its
// power of ten ('1.2e3' has 3).
double uncertainty_scale(std::string_view number) {
    int decimals = 0;
    int exponent = 0;
    const std::size_t e = number.find_first_of("eE");
    if (e != std::string_view::npos) {
        if (std::optional<double> written = try_parse_number(number.substr(e + 1)))
            exponent = static_cast<int>(*written);
        number = number.substr(0, e);
    }
    const std::size_t point = number.find('.');
    if (point != std::string_view::npos) decimals = static_cast<int>(number.size() - point - 1);
    return std::pow(10.0, exponent - decimals);
}

// Other unreadable values keep their old reading (an occupancy of 1, a
// missing cell parameter); a fraction reads as a plausible wrong number.
bool is_fraction(std::string_view value) {
    return value.find('/') != std::string_view::npos;
}

Result<Ok> refuse(const std::string& what, std::string_view value) {
    return fail(what + " is '" + std::string(value) +
                "', a fraction: cell parameters, occupancies and displacement parameters take a number such as "
                "17.633(4)");
}

Result<Ok> check_column(const CifLoop& loop, std::size_t column) {
    std::optional<std::size_t> label = loop.column("_atom_site_label");
    if (!label) label = loop.column("_atom_site_aniso_label");
    for (std::size_t row = 0; row < loop.n_rows(); ++row) {
        const std::string_view value = loop.at(row, column);
        if (!is_fraction(value)) continue;
        std::string what = loop.tags[column];
        if (label) what += " of " + std::string(trim(loop.at(row, *label)));
        return refuse(what, trim(value));
    }
    return Ok{};
}

std::string with_uncertainty(const Measured& measured) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%.6g", measured.value);
    std::string text(buffer);
    if (measured.uncertainty) {
        std::snprintf(buffer, sizeof buffer, " ± %.2g", *measured.uncertainty);
        text += buffer;
    }
    return text;
}

}  // namespace

std::optional<Measured> measured_number(std::string_view value) {
    value = trim(strip_quotes(strip_quotes(trim(value), '\''), '"'));
    if (value.empty() || value.find('/') != std::string_view::npos) return std::nullopt;
    std::string_view number = value;
    std::optional<double> uncertainty;
    const std::size_t paren = value.find('(');
    if (paren != std::string_view::npos) {
        number = trim(value.substr(0, paren));
        std::string_view digits = value.substr(paren + 1);
        if (!digits.empty() && digits.back() == ')') digits.remove_suffix(1);
        if (std::optional<double> units = try_parse_number(digits); units && *units >= 0.0)
            uncertainty = *units * uncertainty_scale(number);
    }
    const std::optional<double> parsed = try_parse_number(number);
    if (!parsed || !std::isfinite(*parsed)) return std::nullopt;
    return Measured{*parsed, uncertainty};
}

Result<Ok> check_measured_values(const CifBlock& block) {
    for (const char* tag : kMeasuredTags) {
        const std::string_view* value = block.tag(tag);
        if (value != nullptr && is_fraction(*value)) return refuse(tag, trim(*value));
    }
    for (const CifLoop& loop : block.loops)
        for (std::size_t column = 0; column < loop.tags.size(); ++column) {
            if (!is_measured_column(loop.tags[column])) continue;
            Result<Ok> checked = check_column(loop, column);
            if (!checked) return checked;
        }
    return Ok{};
}

void check_cell_volume(const CifBlock& block, const Lattice& lattice, CifNotices& notices) {
    const std::string_view* value = block.tag("_cell_volume");
    if (value == nullptr) return;
    const std::optional<Measured> given = measured_number(*value);
    if (!given || !(given->value > 0.0)) return;
    const double volume = std::fabs(determinant(lattice.matrix()));
    const double difference = std::fabs(volume - given->value);
    if (difference <= 0.01 * given->value) return;
    if (given->uncertainty && difference <= 3.0 * *given->uncertainty) return;
    char computed[64];
    std::snprintf(computed, sizeof computed, "%.6g", volume);
    notices.add(CifNoticeKind::cell_volume_differs);
    notices.set_detail(CifNoticeKind::cell_volume_differs, "_cell_volume gives " + with_uncertainty(*given) +
                                                               " Å³ but the cell parameters give " + computed + " Å³");
}

}  // namespace kestrel
