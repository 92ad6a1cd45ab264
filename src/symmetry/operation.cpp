#include "symmetry/operation.hpp"

#include <cmath>
#include <string>

#include "base/ascii.hpp"
#include "base/text.hpp"

namespace kestrel {
namespace {

int axis_index(char c) {
    switch (c) {
        case 'x':
        case 'X': return 0;
        case 'y':
        case 'Y': return 1;
        case 'z':
        case 'Z': return 2;
        default: return -1;
    }
}

std::string without_spaces(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t space = space_length_at(text, pos);
        if (space != 0) {
            pos += space;
        } else {
            out += text[pos];
            ++pos;
        }
    }
    return out;
}

Result<Ok> add_term(std::string_view component, std::string_view term, Vec3& row, double& constant) {
    double factor = 1.0;
    if (term.front() == '-' || term.front() == '+') {
        factor = term.front() == '-' ? -1.0 : 1.0;
        term.remove_prefix(1);
    }
    if (term.empty()) return fail("dangling sign in '" + std::string(component) + "'");

    std::size_t axis_at = std::string_view::npos;
    for (std::size_t i = 0; i < term.size(); ++i) {
        if (axis_index(term[i]) >= 0) {
            axis_at = i;
            break;
        }
    }
    if (axis_at == std::string_view::npos) {
        Result<double> value = parse_symmetry_number(term);
        if (!value) return value.take_error();
        constant += factor * *value;
        return Ok{};
    }

    std::string_view coefficient_text = term.substr(0, axis_at);
    std::string_view divisor_text = term.substr(axis_at + 1);
    double coefficient = 1.0;
    if (!coefficient_text.empty()) {
        while (!coefficient_text.empty() && coefficient_text.back() == '*') coefficient_text.remove_suffix(1);
        Result<double> value = parse_symmetry_number(coefficient_text);
        if (!value) return value.take_error();
        coefficient = *value;
    }
    if (!divisor_text.empty()) {
        if (divisor_text.front() != '/') return fail("cannot read symmetry term '" + std::string(term) + "'");
        while (!divisor_text.empty() && divisor_text.front() == '/') divisor_text.remove_prefix(1);
        Result<double> divisor = parse_symmetry_number(divisor_text);
        if (!divisor) return divisor.take_error();
        // 'x/0' would make an infinite coefficient and non-finite positions.
        if (*divisor == 0.0) return fail("division by zero in '" + std::string(term) + "'");
        coefficient /= *divisor;
    }
    row[axis_index(term[axis_at])] += factor * coefficient;
    return Ok{};
}

Result<Ok> parse_component(std::string_view raw, Vec3& row, double& constant) {
    const std::string component = without_spaces(raw);
    if (component.empty()) return fail("empty symmetry component");
    std::size_t start = 0;
    for (std::size_t i = 1; i <= component.size(); ++i) {
        if (i == component.size() || component[i] == '+' || component[i] == '-') {
            std::string_view term(component.data() + start, i - start);
            start = i;
            if (term.empty()) continue;
            Result<Ok> added = add_term(component, term, row, constant);
            if (!added) return added;
        }
    }
    return Ok{};
}

}  // namespace

Vec3 SymmetryOperation::apply(const Vec3& p) const {
    Vec3 out;
    for (int i = 0; i < 3; ++i)
        out[i] = rotation[i][0] * p[0] + rotation[i][1] * p[1] + rotation[i][2] * p[2] + translation[i];
    return out;
}

bool SymmetryOperation::is_invertible() const {
    // Operations are written with small whole or simple fractional
    // coefficients, so a determinant this close to zero is zero.
    return std::fabs(determinant(rotation)) > 1e-9;
}

bool SymmetryOperation::is_identity_modulo_lattice() const {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            if (rotation[i][j] != (i == j ? 1.0 : 0.0)) return false;
        if (std::fabs(translation[i] - std::round(translation[i])) > 1e-9) return false;
    }
    return true;
}

SymmetryOperation identity_operation() {
    SymmetryOperation op;
    for (int i = 0; i < 3; ++i) op.rotation[i][i] = 1.0;
    return op;
}

Result<double> parse_symmetry_number(std::string_view text) {
    text = trim(text);
    const auto bad = [&] { return fail("bad number '" + std::string(text) + "'"); };
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        std::optional<double> value = try_parse_number(text);
        if (!value) return bad();
        return *value;
    }
    std::optional<double> numerator = try_parse_number(trim(text.substr(0, slash)));
    std::optional<double> denominator = try_parse_number(trim(text.substr(slash + 1)));
    if (!numerator || !denominator) return bad();
    if (*denominator == 0.0) return fail("division by zero in '" + std::string(text) + "'");
    return *numerator / *denominator;
}

Result<SymmetryOperation> parse_symmetry_operation(std::string_view text) {
    text = trim(strip_quotes(strip_quotes(trim(text), '\''), '"'));
    const std::vector<std::string_view> components = split_on(text, ',');
    if (components.size() != 3) return fail("expected 3 components in symmetry op '" + std::string(text) + "'");
    SymmetryOperation op;
    for (int i = 0; i < 3; ++i) {
        Result<Ok> parsed = parse_component(components[i], op.rotation[i], op.translation[i]);
        if (!parsed) return parsed.take_error();
    }
    return op;
}

}  // namespace kestrel
