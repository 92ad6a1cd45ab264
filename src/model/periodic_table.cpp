#include "model/periodic_table.hpp"

#include <array>

namespace kestrel {
namespace {

constexpr std::array<std::string_view, kHeaviestElement + 1> kSymbols = {
    "",   "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si", "P",  "S",
    "Cl", "Ar", "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn", "Ga", "Ge", "As",
    "Se", "Br", "Kr", "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc", "Ru", "Rh", "Pd", "Ag", "Cd", "In", "Sn",
    "Sb", "Te", "I",  "Xe", "Cs", "Ba", "La", "Ce", "Pr", "Nd", "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho",
    "Er", "Tm", "Yb", "Lu", "Hf", "Ta", "W",  "Re", "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po",
    "At", "Rn", "Fr", "Ra", "Ac", "Th", "Pa", "U",  "Np", "Pu", "Am", "Cm", "Bk", "Cf", "Es", "Fm", "Md",
    "No", "Lr", "Rf", "Db", "Sg", "Bh", "Hs", "Mt", "Ds", "Rg", "Cn", "Nh", "Fl", "Mc", "Lv", "Ts", "Og"};

}  // namespace

std::optional<std::string_view> element_of_number(std::int64_t z) {
    if (z < 1 || z > static_cast<std::int64_t>(kHeaviestElement)) return std::nullopt;
    return kSymbols[static_cast<std::size_t>(z)];
}

std::optional<std::uint32_t> number_of_element(std::string_view symbol) {
    for (std::uint32_t z = 1; z <= kHeaviestElement; ++z)
        if (kSymbols[z] == symbol) return z;
    return std::nullopt;
}

}  // namespace kestrel
