#include "formats/cif/formula_check.hpp"

#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "base/text.hpp"
#include "formats/cif/elements.hpp"
#include "formats/cif/measured.hpp"

namespace kestrel {
namespace {

bool is_hydrogen(const std::string& element) {
    return element == "H" || element == "D" || element == "T";
}

std::string amount_text(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    std::string text(buffer);
    while (!text.empty() && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

}  // namespace

void check_formula(const CifBlock& block, const Structure& structure, CifNotices& notices) {
    const std::string_view* formula_text = block.tag("_chemical_formula_sum");
    const std::string_view* z_text = block.tag("_cell_formula_units_z");
    if (formula_text == nullptr || z_text == nullptr) return;
    const std::optional<std::map<std::string, double>> formula = formula_amounts(trim(*formula_text));
    const std::optional<Measured> z = measured_number(*z_text);
    if (!formula || !z || !(z->value > 0.0)) return;
    const Composition read = composition(structure);
    std::set<std::string> elements;
    for (const auto& [element, amount] : *formula) elements.insert(element);
    for (const auto& [element, amount] : read) elements.insert(element);
    std::string differing, amounts;
    for (const std::string& element : elements) {
        if (is_hydrogen(element)) continue;
        const auto in_formula = formula->find(element);
        const auto in_cell = read.find(element);
        const double expected = in_formula == formula->end() ? 0.0 : in_formula->second * z->value;
        const double found = in_cell == read.end() ? 0.0 : in_cell->second;
        if (std::fabs(found - expected) <= kFormulaTolerance * expected) continue;
        if (!differing.empty()) {
            differing += ", ";
            amounts += ", ";
        }
        differing += element;
        amounts += element + " " + amount_text(found) + " read for " + amount_text(expected);
    }
    if (differing.empty()) return;
    notices.add(CifNoticeKind::formula_differs);
    notices.set_detail(CifNoticeKind::formula_differs,
                       "the atoms read disagree with _chemical_formula_sum '" + std::string(trim(*formula_text)) +
                           "' times Z = " + amount_text(z->value) + " for " + differing + " (" + amounts + ")");
}

}  // namespace kestrel
