// The element of a CIF atom-site row, from its type symbol or its label,
// checked against the periodic table.
#pragma once

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

// A label's element: a common water label ('Wat', 'OW', 'HW') gives O or H;
// otherwise its first two letters if they form an element, else its first
// letter. When both readings are elements and the formula names exactly one
// of them, that one wins ('CA1' is carbon in a calcium-free file).
std::optional<std::string> element_from_label(std::string_view label, const std::set<std::string>& formula);

}  // namespace kestrel
