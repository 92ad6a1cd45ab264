// Looking up a tabulated space-group setting by the symbols files carry.
#include "symmetry/space_group.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>

#include "base/ascii.hpp"
#include "base/text.hpp"
#include "symmetry/space_group_table.hpp"

namespace kestrel {
namespace {

// An H-M symbol reduced to what tells settings apart: lower case, no
// whitespace, no "_" of subscripts ("P 2_1/c", "P2(1)/c" and "p21/c" agree),
// the typographic minus read as "-".
std::string hm_key(std::string_view text) {
    std::string out;
    for (std::size_t pos = 0; pos < text.size();) {
        if (const std::size_t space = space_length_at(text, pos); space != 0) {
            pos += space;
        } else if (text.compare(pos, 3, "\xE2\x88\x92") == 0) {  // U+2212 MINUS SIGN
            out += '-';
            pos += 3;
        } else {
            if (text[pos] != '_') out += ascii_lower(text[pos]);
            ++pos;
        }
    }
    // "2(1)" is a subscript written in parentheses.
    for (std::size_t open = out.find('('); open != std::string::npos; open = out.find('(', open)) {
        if (open + 2 < out.size() && out[open + 1] >= '0' && out[open + 1] <= '9' && out[open + 2] == ')')
            out.erase(open + 2, 1).erase(open, 1);
        else ++open;
    }
    return out;
}

std::string without_minus(std::string key) {
    std::erase(key, '-');
    return key;
}

// "P 1 21/c 1" -> "P 21/c": the short monoclinic symbol, whose one direction
// is the unique axis. Empty for symbols of other systems.
std::string short_monoclinic(const SpaceGroupSetting& setting) {
    if (setting.number < 3 || setting.number > 15) return {};
    const std::vector<std::string_view> parts = split_tokens(setting.hermann_mauguin);
    if (parts.size() != 4) return {};
    std::string out(parts[0]);
    for (std::size_t k = 1; k < 4; ++k)
        if (parts[k] != "1") out += std::string(parts[k]);
    return hm_key(out);
}

// Which spelling a key is: the table's own symbols come before the short
// monoclinic ones, so "P 2" can never hide a symbol of its own.
enum class Spelling { tabulated, short_monoclinic };

struct SymbolKey {
    std::string key;
    std::string key_without_minus;
    const SpaceGroupSetting* setting;
    Spelling spelling;
};

const std::vector<SymbolKey>& symbol_keys() {
    static const std::vector<SymbolKey> keys = [] {
        std::vector<SymbolKey> out;
        const auto add = [&](std::string key, const SpaceGroupSetting& s, Spelling spelling) {
            std::string key_without_minus = without_minus(key);
            out.push_back({std::move(key), std::move(key_without_minus), &s, spelling});
        };
        for (const SpaceGroupSetting& s : space_group_settings()) {
            add(hm_key(s.hermann_mauguin), s, Spelling::tabulated);
            add(hm_key(s.full_hermann_mauguin), s, Spelling::tabulated);
            for (const OldSymbol& old : old_e_glide_symbols())
                if (old.number == s.number && old.extension == s.extension)
                    add(hm_key(old.hermann_mauguin), s, Spelling::tabulated);
            if (std::string short_key = short_monoclinic(s); !short_key.empty())
                add(std::move(short_key), s, Spelling::short_monoclinic);
        }
        return out;
    }();
    return keys;
}

// The symbol and the setting extension a text names, the extension lower
// case: "1" or "2" for an origin choice, "h" or "r" for the axes, or a
// tabulated extension such as "b1" or "-cba"; empty when none is written.
struct NamedSymbol {
    std::string key;
    std::string extension;
};

std::optional<NamedSymbol> split_extension(std::string_view text) {
    std::string rest = ascii_lower(trim(text));
    std::string extension;
    // "F d -3 m (origin choice 2)", "F d -3 m, origin 1"
    if (const std::size_t origin = rest.find("origin"); origin != std::string::npos) {
        const std::size_t digit = rest.find_first_of("0123456789", origin);
        if (digit == std::string::npos) return std::nullopt;
        extension = rest.substr(digit, 1);
        rest.erase(origin);
        while (!rest.empty() && (rest.back() == '(' || rest.back() == ',' || rest.back() == ';' ||
                                 space_length_at(rest, rest.size() - 1) != 0))
            rest.pop_back();
    }
    // "R -3 m :H", "F d -3 m:1", "P 1 21/c 1 :b1"
    if (const std::size_t colon = rest.rfind(':'); colon != std::string::npos) {
        if (!extension.empty()) return std::nullopt;
        extension = hm_key(rest.substr(colon + 1));
        rest.erase(colon);
    }
    std::string key = hm_key(rest);
    // "R -3 m H", "F d -3 m Z": no symbol ends in these letters, so a last
    // one is the setting. S and Z are origin choices 1 and 2 (origin at a
    // site of high symmetry, origin at the centre of inversion).
    if (extension.empty() && key.size() > 1) {
        switch (key.back()) {
            case 'h':
            case 'r': extension = key.back(); break;
            case 's': extension = "1"; break;
            case 'z': extension = "2"; break;
            default: break;
        }
        if (!extension.empty()) key.pop_back();
    }
    if (extension == "s") extension = "1";
    if (extension == "z") extension = "2";
    if (key.empty()) return std::nullopt;
    return NamedSymbol{std::move(key), std::move(extension)};
}

bool is_origin_choice(std::string_view extension) {
    return !extension.empty() && (extension.front() == '1' || extension.front() == '2');
}

// Among the settings a symbol names (in table order), the one its extension
// picks; without an extension the first, which is the default setting.
const SpaceGroupSetting* pick(const std::vector<const SpaceGroupSetting*>& candidates, const std::string& extension) {
    if (extension.empty()) return candidates.front();
    for (const SpaceGroupSetting* s : candidates)
        if (ascii_lower(s->extension) == extension) return s;
    // ":1" for the origin-1 setting of one of several cells ("C c c b:1").
    if (extension.size() == 1)
        for (const SpaceGroupSetting* s : candidates)
            if (is_origin_choice(s->extension) && s->extension.front() == extension.front()) return s;
    // An origin choice written for a group that has only one origin changes nothing.
    if ((extension == "1" || extension == "2") &&
        std::none_of(candidates.begin(), candidates.end(),
                     [](const SpaceGroupSetting* s) { return is_origin_choice(s->extension); }))
        return candidates.front();
    return nullptr;
}

// Operations as exact integers, sorted, so two lists of one group compare equal.
using OperationKey = std::array<int, 12>;

std::vector<OperationKey> canonical(const std::vector<SymmetryOperation>& ops) {
    std::vector<OperationKey> out;
    out.reserve(ops.size());
    for (const SymmetryOperation& op : ops) {
        OperationKey key{};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) key[3 * i + j] = static_cast<int>(std::lround(op.rotation[i][j]));
            key[9 + i] = static_cast<int>(std::lround(op.translation[i] * 24)) % 24;
        }
        out.push_back(key);
    }
    std::sort(out.begin(), out.end());
    return out;
}

const std::vector<std::vector<OperationKey>>& canonical_settings() {
    static const std::vector<std::vector<OperationKey>> all = [] {
        std::vector<std::vector<OperationKey>> out;
        for (const SpaceGroupSetting& s : space_group_settings()) out.push_back(canonical(setting_operations(s)));
        return out;
    }();
    return all;
}

// Hall symbols compare with runs of whitespace as one space and case
// ignored; unlike in H-M symbols a space matters ("P 3 2" is not "P 32").
std::string hall_key(std::string_view text) {
    std::string out;
    for (std::string_view token : split_tokens(text)) {
        if (!out.empty()) out += ' ';
        out += ascii_lower(token);
    }
    for (std::size_t at = out.find("''"); at != std::string::npos; at = out.find("''", at)) out.replace(at, 2, "\"");
    return out;
}

const std::vector<std::string>& tabulated_hall_keys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> out;
        for (const SpaceGroupSetting& s : space_group_settings()) out.push_back(hall_key(s.hall));
        return out;
    }();
    return keys;
}

}  // namespace

const SpaceGroupSetting* find_setting_by_hall(std::string_view hall) {
    const std::string key = hall_key(hall);
    if (key.empty()) return nullptr;
    const std::vector<std::string>& tabulated = tabulated_hall_keys();
    for (std::size_t i = 0; i < tabulated.size(); ++i)
        if (tabulated[i] == key) return &space_group_settings()[i];
    // The same group may be written with other generators or another
    // centring translation ("C 2 2 -1bc" for "C 2 2 -1ac"): compare what it
    // generates.
    Result<std::vector<SymmetryOperation>> ops = operations_from_hall(hall);
    if (!ops) return nullptr;
    const std::vector<OperationKey> wanted = canonical(*ops);
    const std::vector<std::vector<OperationKey>>& all = canonical_settings();
    for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i] == wanted) return &space_group_settings()[i];
    return nullptr;
}

const SpaceGroupSetting* find_setting_by_hermann_mauguin(std::string_view symbol) {
    const std::optional<NamedSymbol> named = split_extension(symbol);
    if (!named) return nullptr;
    // Old files drop the minus of a rotoinversion ("F m 3 m", "I a 3 d");
    // such a symbol is tried without minus signs only when nothing matches
    // as written, and only if it then names one group.
    for (bool ignore_minus : {false, true}) {
        const std::string key = ignore_minus ? without_minus(named->key) : named->key;
        for (Spelling spelling : {Spelling::tabulated, Spelling::short_monoclinic}) {
            std::vector<const SpaceGroupSetting*> candidates;
            for (const SymbolKey& k : symbol_keys()) {
                if (k.spelling != spelling || (ignore_minus ? k.key_without_minus : k.key) != key) continue;
                if (std::find(candidates.begin(), candidates.end(), k.setting) == candidates.end())
                    candidates.push_back(k.setting);
            }
            if (candidates.empty()) continue;
            if (ignore_minus && std::any_of(candidates.begin(), candidates.end(), [&](const SpaceGroupSetting* s) {
                    return s->number != candidates.front()->number;
                }))
                return nullptr;
            return pick(candidates, named->extension);
        }
    }
    return nullptr;
}

const SpaceGroupSetting* find_setting_by_number(int number) {
    for (const SpaceGroupSetting& s : space_group_settings())
        if (s.number == number) return &s;
    return nullptr;
}

std::vector<SymmetryOperation> setting_operations(const SpaceGroupSetting& setting) {
    // Every tabulated Hall symbol reads (the tests go through all of them).
    Result<std::vector<SymmetryOperation>> ops = operations_from_hall(setting.hall);
    return ops ? std::move(*ops) : std::vector<SymmetryOperation>{identity_operation()};
}

}  // namespace kestrel
