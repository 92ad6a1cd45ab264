#include "formats/cif/elements.hpp"

#include <algorithm>
#include <array>

#include "base/ascii.hpp"
#include "base/text.hpp"

namespace kestrel {
namespace {

// Every element, and the hydrogen isotopes crystallographers write as their
// own symbols, in ascending byte order for binary search.
constexpr std::array<std::string_view, 120> kElements = {
    "Ac", "Ag", "Al", "Am", "Ar", "As", "At", "Au", "B",  "Ba", "Be", "Bh", "Bi", "Bk", "Br", "C",  "Ca", "Cd",
    "Ce", "Cf", "Cl", "Cm", "Cn", "Co", "Cr", "Cs", "Cu", "D",  "Db", "Ds", "Dy", "Er", "Es", "Eu", "F",  "Fe",
    "Fl", "Fm", "Fr", "Ga", "Gd", "Ge", "H",  "He", "Hf", "Hg", "Ho", "Hs", "I",  "In", "Ir", "K",  "Kr", "La",
    "Li", "Lr", "Lu", "Lv", "Mc", "Md", "Mg", "Mn", "Mo", "Mt", "N",  "Na", "Nb", "Nd", "Ne", "Nh", "Ni", "No",
    "Np", "O",  "Og", "Os", "P",  "Pa", "Pb", "Pd", "Pm", "Po", "Pr", "Pt", "Pu", "Ra", "Rb", "Re", "Rf", "Rg",
    "Rh", "Rn", "Ru", "S",  "Sb", "Sc", "Se", "Sg", "Si", "Sm", "Sn", "Sr", "T",  "Ta", "Tb", "Tc", "Te", "Th",
    "Ti", "Tl", "Tm", "Ts", "U",  "V",  "W",  "Xe", "Y",  "Yb", "Zn", "Zr"};

std::size_t leading_letters(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && is_ascii_letter(text[n])) ++n;
    return n;
}

// Labels of water oxygens and hydrogens, which no element reading gets right
// ('Wat' would be tungsten, 'OW' and 'HW' are not symbols).
std::optional<std::string> water_label_element(std::string_view label) {
    const std::size_t letters = leading_letters(label);
    const std::string_view word = label.substr(0, letters);
    if (starts_with_ignoring_case(word, "wat") || (letters == 2 && starts_with_ignoring_case(word, "ow"))) return "O";
    if (letters == 2 && starts_with_ignoring_case(word, "hw")) return "H";
    return std::nullopt;
}

}  // namespace

std::optional<std::string> element_from_letters(std::string_view letters) {
    if (letters.empty() || letters.size() > 2) return std::nullopt;
    std::string symbol(1, ascii_upper(letters[0]));
    if (letters.size() == 2) symbol += ascii_lower(letters[1]);
    if (!std::binary_search(kElements.begin(), kElements.end(), std::string_view(symbol))) return std::nullopt;
    return symbol;
}

std::optional<std::string> element_from_type_symbol(std::string_view symbol) {
    symbol = trim(symbol);
    return element_from_letters(symbol.substr(0, leading_letters(symbol)));
}

std::set<std::string> formula_elements(std::string_view formula) {
    std::set<std::string> elements;
    std::string_view rest = formula;
    for (std::string_view token = next_token(rest); !token.empty(); token = next_token(rest)) {
        // 'C12', 'H10.5', and also run-together 'CaTiO3' in careless files.
        std::size_t pos = 0;
        while (pos < token.size()) {
            if (token[pos] >= 'A' && token[pos] <= 'Z') {
                std::size_t end = pos + 1;
                if (end < token.size() && token[end] >= 'a' && token[end] <= 'z') ++end;
                if (auto element = element_from_letters(token.substr(pos, end - pos))) elements.insert(*element);
                pos = end;
            } else {
                ++pos;
            }
        }
    }
    return elements;
}

std::optional<std::map<std::string, double>> formula_amounts(std::string_view formula) {
    std::map<std::string, double> amounts;
    std::string_view rest = formula;
    for (std::string_view token = next_token(rest); !token.empty(); token = next_token(rest)) {
        std::size_t pos = 0;
        while (pos < token.size()) {
            if (!(token[pos] >= 'A' && token[pos] <= 'Z')) return std::nullopt;
            std::size_t end = pos + 1;
            if (end < token.size() && token[end] >= 'a' && token[end] <= 'z') ++end;
            std::optional<std::string> element = element_from_letters(token.substr(pos, end - pos));
            if (!element) return std::nullopt;
            std::size_t digits = end;
            while (digits < token.size() && (is_ascii_digit(token[digits]) || token[digits] == '.')) ++digits;
            double amount = 1.0;
            if (digits != end) {
                std::optional<double> written = try_parse_number(token.substr(end, digits - end));
                if (!written || !(*written >= 0.0)) return std::nullopt;
                amount = *written;
            }
            amounts[*element] += amount;
            pos = digits;
        }
    }
    if (amounts.empty()) return std::nullopt;
    return amounts;
}

std::optional<LabelElement> element_from_label(std::string_view label, const std::set<std::string>& formula) {
    label = trim(label);
    if (auto water = water_label_element(label)) return LabelElement{*water, LabelReading::water, {}};
    const std::size_t letters = leading_letters(label);
    std::optional<std::string> two = letters >= 2 ? element_from_letters(label.substr(0, 2)) : std::nullopt;
    std::optional<std::string> one = letters >= 1 ? element_from_letters(label.substr(0, 1)) : std::nullopt;
    const bool proper_case = letters >= 2 && label[0] >= 'A' && label[0] <= 'Z' && label[1] >= 'a' && label[1] <= 'z';
    if (two && one && !proper_case) {
        const bool two_in = formula.count(*two) != 0, one_in = formula.count(*one) != 0;
        if (one_in && !two_in) return LabelElement{*one, LabelReading::formula, *two};
        if (two_in && !one_in) return LabelElement{*two, LabelReading::formula, *one};
        return LabelElement{*two, LabelReading::undecided, *one};
    }
    if (two) return LabelElement{*two, LabelReading::plain, {}};
    if (one) return LabelElement{*one, LabelReading::plain, {}};
    return std::nullopt;
}

}  // namespace kestrel
