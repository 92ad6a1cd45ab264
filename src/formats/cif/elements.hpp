// The element of a CIF atom-site row, from its type symbol or its label,
// checked against the periodic table.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace kestrel {

// 'Fe', 'fe', 'FE' -> "Fe" when that is an element (D and T count); nothing otherwise.
std::optional<std::string> element_from_letters(std::string_view letters);

// A type symbol without its charge, digits or suffix ('Fe3+', 'O2-', 'C.ar'),
// if what is left is an element.
std::optional<std::string> element_from_type_symbol(std::string_view symbol);

// The elements named by _chemical_formula_sum ('C12 H10 N2 O'); empty when
// the formula is missing.
std::set<std::string> formula_elements(std::string_view formula);

// The amount of each element in _chemical_formula_sum ('C12 H10.5 N2 O',
// also run together: 'CaTiO3'); nothing when the formula is missing or holds
// anything else (brackets, charges, unknown symbols), so no check is made on
// a formula this reader cannot take apart.
std::optional<std::map<std::string, double>> formula_amounts(std::string_view formula);

// How a label gave its element: by its letters alone, which is ordinary
// practice ('Se1', 'Sn2a', 'O1', 'ZN1'), or by a choice the reader made and
// the user should hear about.
enum class LabelReading {
    plain,
    water,      // 'Wat', 'OW', 'HW'
    formula,    // both readings are elements and the formula names only this one
    undecided,  // both readings are elements and nothing tells them apart: the two-letter one
};

struct LabelElement {
    std::string element;
    LabelReading reading;
    std::string other;  // formula, undecided: the reading not taken
};

// A label's element: a common water label ('Wat', 'OW', 'HW') gives O or H.
// First two letters in proper case that form an element ('Se1', 'Co2') name
// that element whatever the formula says. Where case cannot decide ('CA1',
// 'SE1', 'ca1') and both readings are elements, the formula breaks the tie
// when it names exactly one of them; otherwise the two-letter element wins.
// Else the two letters if they form an element, else the first letter.
std::optional<LabelElement> element_from_label(std::string_view label, const std::set<std::string>& formula);

}  // namespace kestrel
