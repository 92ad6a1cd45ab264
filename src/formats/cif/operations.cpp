#include "formats/cif/operations.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "base/ascii.hpp"
#include "base/text.hpp"
#include "symmetry/space_group.hpp"

namespace kestrel {
namespace {

bool is_operation_column(std::string_view tag) {
    return tag == "_symmetry_equiv_pos_as_xyz" || tag == "_space_group_symop_operation_xyz";
}

// A value the writer quoted a second time ('"P 21/c"' in a text field): the
// matching pair goes, unlike ascii.hpp's strip_quotes which drops runs of one
// quote character at either end.
std::string_view without_enclosing_quotes(std::string_view text) {
    text = trim(text);
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') && text.back() == text.front())
        text = trim(text.substr(1, text.size() - 2));
    return text;
}

// A label may precede the operation: 'op1 x,y,z'.
Result<SymmetryOperation> parse_row_operation(std::string_view value) {
    Result<SymmetryOperation> operation = parse_symmetry_operation(value);
    if (operation) return operation;
    const std::size_t space = value.find(' ');
    if (space == std::string_view::npos) return operation;
    return parse_symmetry_operation(value.substr(space + 1));
}

// The operations of the first loop that has an operations column, or
// nothing when no loop has one.
Result<BlockOperations> operations_from_loop(const CifBlock& block, CifNotices& notices) {
    BlockOperations listed;
    std::vector<SymmetryOperation>& operations = listed.operations;
    for (const CifLoop& loop : block.loops) {
        std::optional<std::size_t> column;
        for (std::size_t k = 0; k < loop.tags.size() && !column; ++k)
            if (is_operation_column(loop.tags[k])) column = k;
        if (!column) continue;
        for (std::size_t row = 0; row < loop.n_rows(); ++row) {
            const std::string_view value = trim(loop.at(row, *column));
            if (value.empty()) continue;
            Result<SymmetryOperation> operation = parse_row_operation(value);
            if (!operation) {
                notices.add(CifNoticeKind::skipped_operations, "'" + std::string(value) + "'");
                continue;
            }
            if (!operation->is_invertible())
                return fail("symmetry operation '" + std::string(value) +
                            "' is not invertible: its rotation part has a zero determinant");
            operations.push_back(*operation);
            listed.written.emplace_back(value);
        }
        break;
    }
    if (operations.empty()) return listed;
    bool has_identity = false;
    for (const SymmetryOperation& operation : operations) has_identity |= operation.is_identity_modulo_lattice();
    if (!has_identity) {
        // Without it the written positions themselves would be missing.
        operations.insert(operations.begin(), identity_operation());
        listed.written.insert(listed.written.begin(), "x,y,z");
        notices.add(CifNoticeKind::identity_added);
    }
    return listed;
}

// The value of the first of the tags that the block gives, missing values aside.
std::optional<std::string_view> first_given(const CifBlock& block, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const std::string_view* value = block.tag(name);
        if (value != nullptr && !cif_value_missing(*value)) return without_enclosing_quotes(*value);
    }
    return std::nullopt;
}

bool names_p1(std::string_view symbol) {
    std::string folded;
    for (char c : symbol)
        if (c != ' ' && c != '_') folded += ascii_lower(c);
    return folded == "p1";
}

// A whole number from 1 to 230 ('225', '225.0' too), or nothing.
std::optional<int> space_group_number(std::string_view text) {
    std::optional<double> value = cif_number(text);
    if (!value || !(*value >= 1.0 && *value <= 230.0) || *value != std::floor(*value)) return std::nullopt;
    return static_cast<int>(*value);
}

struct Resolved {
    std::vector<SymmetryOperation> operations;
    std::string described;  // how the notice names the group
    const SpaceGroupSetting* setting = nullptr;
};

std::string tabulated_name(const SpaceGroupSetting& setting) {
    std::string name(setting.hermann_mauguin);
    if (!setting.extension.empty()) name += ":" + std::string(setting.extension);
    return name;
}

// Whether a symbol names its setting: 'R -3 m :H', 'R -3 m H', 'R 3 R'.
bool names_setting(std::string_view symbol) {
    std::string folded;
    for (char c : symbol)
        if (c != ' ') folded += ascii_lower(c);
    return folded.find(':') != std::string::npos || (!folded.empty() && (folded.back() == 'h' || folded.back() == 'r'));
}

// The rhombohedral-axes setting of a group read in its hexagonal default.
const SpaceGroupSetting* rhombohedral_setting_of(const SpaceGroupSetting& setting) {
    if (setting.extension != "H") return nullptr;
    for (const SpaceGroupSetting& other : space_group_settings())
        if (other.number == setting.number && other.extension == "R") return &other;
    return nullptr;
}

std::optional<Resolved> resolve_hall(std::string_view hall) {
    if (const SpaceGroupSetting* setting = find_setting_by_hall(hall))
        return Resolved{setting_operations(*setting), "'" + std::string(hall) + "' (Hall symbol)"};
    Result<std::vector<SymmetryOperation>> operations = operations_from_hall(hall);
    if (!operations || operations->empty()) return std::nullopt;
    return Resolved{std::move(*operations), "'" + std::string(hall) + "' (Hall symbol)"};
}

// Triclinic cells are sometimes kept centred ('A -1', 'I 1') to match a
// related structure; the tables list only the primitive settings, but the
// Hall symbol follows from the letters.
std::optional<Resolved> resolve_centred_triclinic(std::string_view symbol) {
    std::string folded;
    for (char c : symbol)
        if (c != ' ') folded += c;
    if (folded.size() < 2 || std::string_view("ABCIFR").find(ascii_upper(folded[0])) == std::string_view::npos)
        return std::nullopt;
    const std::string rest = folded.substr(1);
    if (rest != "1" && rest != "-1") return std::nullopt;
    const std::string hall = std::string(rest == "-1" ? "-" : "") + ascii_upper(folded[0]) + " 1";
    Result<std::vector<SymmetryOperation>> operations = operations_from_hall(hall);
    if (!operations) return std::nullopt;
    return Resolved{std::move(*operations), "'" + std::string(symbol) + "' (read as Hall symbol " + hall + ")"};
}

std::optional<Resolved> resolve_hermann_mauguin(std::string_view symbol) {
    const SpaceGroupSetting* setting = find_setting_by_hermann_mauguin(symbol);
    if (setting == nullptr) return resolve_centred_triclinic(symbol);
    std::string described = "'" + std::string(symbol) + "'";
    // Say which setting a symbol without one was taken in.
    const std::string tabulated = tabulated_name(*setting);
    if (tabulated != symbol) described += " (read as " + tabulated + ")";
    return Resolved{setting_operations(*setting), std::move(described), names_setting(symbol) ? nullptr : setting};
}

std::optional<Resolved> resolve_number(int number) {
    const SpaceGroupSetting* setting = find_setting_by_number(number);
    if (setting == nullptr) return std::nullopt;
    return Resolved{setting_operations(*setting),
                    "number " + std::to_string(number) + " (" + tabulated_name(*setting) + ")", setting};
}

}  // namespace

Result<BlockOperations> read_block_operations(const CifBlock& block, CifNotices& notices) {
    Result<BlockOperations> listed = operations_from_loop(block, notices);
    if (!listed || !listed->operations.empty()) return listed;

    const std::optional<std::string_view> hall =
        first_given(block, {"_space_group_name_hall", "_symmetry_space_group_name_hall"});
    const std::optional<std::string_view> hermann_mauguin =
        first_given(block, {"_space_group_name_h-m_alt", "_symmetry_space_group_name_h-m"});
    const std::optional<std::string_view> number_text =
        first_given(block, {"_space_group_it_number", "_symmetry_int_tables_number"});
    const std::optional<int> number = number_text ? space_group_number(*number_text) : std::nullopt;

    BlockOperations from_symbol;
    std::optional<Resolved> resolved;
    if (hall && (resolved = resolve_hall(*hall))) from_symbol.symbol = "Hall symbol '" + std::string(*hall) + "'";
    if (!resolved && hermann_mauguin && (resolved = resolve_hermann_mauguin(*hermann_mauguin)))
        from_symbol.symbol = "'" + std::string(*hermann_mauguin) + "'";
    if (!resolved && number && (resolved = resolve_number(*number)))
        from_symbol.symbol = "number " + std::to_string(*number);
    if (resolved) {
        if (resolved->operations.size() > 1) {
            notices.add(CifNoticeKind::operations_from_symbol, {}, resolved->operations.size());
            notices.set_detail(CifNoticeKind::operations_from_symbol, resolved->described);
        }
        from_symbol.operations = std::move(resolved->operations);
        if (resolved->setting != nullptr)
            if (const SpaceGroupSetting* rhombohedral = rhombohedral_setting_of(*resolved->setting)) {
                from_symbol.rhombohedral = setting_operations(*rhombohedral);
                from_symbol.rhombohedral_name = tabulated_name(*rhombohedral);
            }
        return from_symbol;
    }

    const bool any_symbol = hall || hermann_mauguin || number_text;
    const bool p1 = (hall && names_p1(*hall)) || (hermann_mauguin && names_p1(*hermann_mauguin)) ||
                    (number_text && space_group_number(*number_text) == std::optional<int>(1));
    if (any_symbol && !p1) {
        const std::string written = hall              ? "'" + std::string(*hall) + "'"
                                    : hermann_mauguin ? "'" + std::string(*hermann_mauguin) + "'"
                                                      : "number '" + std::string(*number_text) + "'";
        return fail("cannot resolve space group " + written +
                    " and the file lists no symmetry operations; add a loop of _space_group_symop_operation_xyz");
    }
    from_symbol.operations = {identity_operation()};
    return from_symbol;
}

}  // namespace kestrel
