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

// The amount of every element but hydrogen, added up.
double heavy_total(const std::map<std::string, double>& amounts) {
    double total = 0.0;
    for (const auto& [element, amount] : amounts)
        if (!is_hydrogen(element)) total += amount;
    return total;
}

}  // namespace

void check_formula(const CifBlock& block, const Structure& structure, CifNotices& notices) {
    const std::string_view* formula_text = block.tag("_chemical_formula_sum");
    if (formula_text == nullptr) return;
    const std::optional<std::map<std::string, double>> formula = formula_amounts(trim(*formula_text));
    if (!formula) return;
    const Composition read = composition(structure);
    const std::string_view* z_text = block.tag("_cell_formula_units_z");
    double z = 0.0;
    if (z_text != nullptr)
        if (const std::optional<Measured> given = measured_number(*z_text); given && given->value > 0.0)
            z = given->value;
    const bool has_z = z > 0.0;
    // Without Z the cell may hold any number of formula units: the atoms
    // read are compared in proportion, scaled to the formula's size.
    const double formula_atoms = heavy_total(*formula);
    const double read_atoms = heavy_total(read);
    if (!has_z && !(formula_atoms > 0.0 && read_atoms > 0.0)) return;
    const double units = has_z ? z : read_atoms / formula_atoms;
    std::set<std::string> elements;
    for (const auto& [element, amount] : *formula) elements.insert(element);
    for (const auto& [element, amount] : read) elements.insert(element);
    std::string differing, amounts;
    for (const std::string& element : elements) {
        if (is_hydrogen(element)) continue;
        const auto in_formula = formula->find(element);
        const auto in_cell = read.find(element);
        const double per_unit = in_formula == formula->end() ? 0.0 : in_formula->second;
        const double found = in_cell == read.end() ? 0.0 : in_cell->second;
        const double expected = per_unit * units;
        if (std::fabs(found - expected) <= kFormulaTolerance * expected) continue;
        if (!differing.empty()) {
            differing += ", ";
            amounts += ", ";
        }
        differing += element;
        amounts += has_z ? element + " " + amount_text(found) + " read for " + amount_text(expected)
                         : element + " " + amount_text(found / units) + " read for " + amount_text(per_unit);
    }
    if (differing.empty()) return;
    notices.add(CifNoticeKind::formula_differs);
    const std::string formula_named = "_chemical_formula_sum '" + std::string(trim(*formula_text)) + "'";
    notices.set_detail(CifNoticeKind::formula_differs,
                       has_z ? "the atoms read disagree with " + formula_named + " times Z = " + amount_text(z) +
                                   " for " + differing + " (" + amounts + ")"
                             : "the atoms read disagree in proportion with " + formula_named +
                                   " (no _cell_formula_units_Z) for " + differing + " (per formula unit of " +
                                   amount_text(formula_atoms) + " atoms besides hydrogen: " + amounts + ")");
}

}  // namespace kestrel
