#include "trajectory/lammps_dump.hpp"

#include <algorithm>
#include <array>
#include <numeric>

#include "base/line_tokens.hpp"
#include "base/text.hpp"

namespace kestrel {
namespace {

constexpr std::string_view kItem = "ITEM:";

// The tokens of a line, at most `limit` of them.
std::vector<std::string_view> tokens_of(std::string_view line, std::size_t limit = 64) {
    std::vector<std::string_view> out;
    LineTokens tokens(line);
    for (std::string_view t = tokens.next(); !t.empty() && out.size() < limit; t = tokens.next()) out.push_back(t);
    return out;
}

// Types are a few characters: compared in line, not by a library call.
bool same_short_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

bool starts_with_words(std::string_view text, std::string_view words) {
    const std::vector<std::string_view> have = tokens_of(text), want = tokens_of(words);
    return have.size() >= want.size() && std::equal(want.begin(), want.end(), have.begin());
}

class DumpAtomLines final : public AtomLineParser {
public:
    DumpAtomLines(const DumpBox& box, const DumpColumns& columns, const AtomTypeNames& types, std::uint64_t frame,
                  std::size_t expected_sites)
        : columns_(columns), frame_(frame), token_(columns.needed), number_of_column_(columns.needed, -1) {
        if (columns.id) number_of_column_[*columns.id] = kIdNumber;
        for (int k = 0; k < 3; ++k) number_of_column_[columns.xyz[k]] = k;
        Result<Lattice> lattice = make_lattice(box.rows);
        if (!lattice) {
            error_ = lattice.take_error();
            return;
        }
        lattice_ = std::move(*lattice);
        origin_ = box.origin;
        positions_.reserve(expected_sites);
        element_of_line_.reserve(expected_sites);
        one_byte_type_.fill(kNoElement);
        for (const auto& [type, element] : types) {
            const std::uint32_t index = element_index(element);
            type_element_.emplace(type, index);
            if (type.size() == 1) one_byte_type_[static_cast<unsigned char>(type[0])] = index;
        }
        if (columns.id) ids_.reserve(expected_sites);
        if (!columns.element && types.empty())
            // The advice to name the types is the caller's, in its own terms.
            error_ = fail_needing("types", frame_text(frame) + " gives atom types but no elements");
    }

    bool failed() const override { return error_.has_value(); }

    void add(std::string_view line, std::uint64_t j) override {
        std::string_view* token = token_.data();
        LineTokens tokens(line);
        // Coordinates are read as they are found; what the fast path leaves
        // is parsed below, after the line is known to be complete, so that
        // an incomplete line is reported as such whatever its numbers.
        double value[4];  // x, y, z, id
        bool read[4] = {false, false, false, false};
        std::size_t count = 0;
        for (; count < columns_.needed; ++count) {
            const int number = number_of_column_[count];
            if (number < 0) {
                token[count] = tokens.next();
            } else if (tokens.next_decimal(token[count], value[number])) {
                read[number] = true;
                continue;
            }
            if (token[count].empty()) break;
        }
        if (count < columns_.needed)
            return set_error(frame_text(frame_) + ", atom line " + std::to_string(j) + " is incomplete");
        Vec3 position;
        for (int k = 0; k < 3; ++k) {
            if (read[k]) {
                position[k] = value[k];
                continue;
            }
            const std::string_view text = token[columns_.xyz[k]];
            const std::optional<double> parsed = try_parse_number(text);
            if (!parsed) return set_error(number_error_message(text));
            position[k] = *parsed;
        }
        if (columns_.element) {
            const std::string symbol = element_symbol(token[*columns_.element]);
            if (elements_.empty() || elements_[last_element_] != symbol) last_element_ = element_index(symbol);
        } else {
            const std::string_view type = token[*columns_.type];
            // Types of one character (most dumps) are looked up in a table:
            // no branch on whether the type changed, which in a dump of
            // mixed atoms it does at random.
            const std::uint32_t by_byte =
                type.size() == 1 ? one_byte_type_[static_cast<unsigned char>(type[0])] : kNoElement;
            if (by_byte != kNoElement) {
                last_element_ = by_byte;
            } else {
                // Longer types often come in runs: the last lookup is kept.
                if (last_type_ == nullptr || !same_short_text(last_type_->first, type)) {
                    const auto found = type_element_.find(type);
                    if (found == type_element_.end())
                        return set_error(frame_text(frame_) + ", atom line " + std::to_string(j) + ": type " +
                                         std::string(type) + " is not in types");
                    last_type_ = &*found;
                }
                last_element_ = last_type_->second;
            }
        }
        if (read[kIdNumber]) {
            ids_.push_back(value[kIdNumber]);
        } else if (columns_.id) {
            // Ids are whole numbers in every dump LAMMPS writes; the number
            // grammar is the fallback for anything else.
            const std::string_view text = token[*columns_.id];
            if (const std::optional<std::uint64_t> whole = parse_count(text); whole && *whole < kExactIds) {
                ids_.push_back(static_cast<double>(*whole));
            } else {
                const std::optional<double> id = try_parse_number(text);
                if (!id) return set_error(number_error_message(text));
                ids_.push_back(*id);
            }
        }
        positions_.push_back(fractional(position));
        element_of_line_.push_back(last_element_);
    }

    // The sites are made once, in the order of the ids: no site is moved.
    Result<Structure> finish() && override {
        if (error_) return std::move(*error_);
        const std::vector<std::size_t> order = order_by_id();
        const std::size_t n = positions_.size();
        std::vector<Site> sites;
        sites.reserve(n);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t line = order.empty() ? k : order[k];
            sites.push_back(Site{positions_[line], {SpeciesOccupancy{elements_[element_of_line_[line]], 1.0}}});
        }
        return make_structure(std::move(*lattice_), std::move(sites));
    }

private:
    using Kind = DumpColumns::Position;

    void set_error(std::string message) { error_ = fail(std::move(message)); }

    Vec3 fractional(const Vec3& position) const {
        if (columns_.kind == Kind::scaled || columns_.kind == Kind::scaled_unwrapped) return position;
        return lattice_->to_fractional({position[0] - origin_[0], position[1] - origin_[1], position[2] - origin_[2]});
    }

    // The index of `element` among the frame's elements, added if new.
    std::uint32_t element_index(const std::string& element) {
        const auto [at, added] = element_index_.try_emplace(element, static_cast<std::uint32_t>(elements_.size()));
        if (added) elements_.emplace_back(element);
        return at->second;
    }

    // LAMMPS writes atoms in the order its processors hold them; the ids
    // give the order that stays the same from frame to frame. The line of
    // each site in id order, or nothing when the lines are in order.
    std::vector<std::size_t> order_by_id() const {
        if (ids_.empty() || std::is_sorted(ids_.begin(), ids_.end())) return {};
        if (std::vector<std::size_t> placed = place_by_id(); !placed.empty()) return placed;
        std::vector<std::size_t> order(ids_.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ids_[a] < ids_[b]; });
        return order;
    }

    // The common case, ids 1 to n each once: every line goes straight to
    // its place, with no sort. Empty otherwise.
    std::vector<std::size_t> place_by_id() const {
        const std::size_t n = ids_.size();
        constexpr std::size_t kUnseen = ~std::size_t{0};
        std::vector<std::size_t> line_of_id(n, kUnseen);
        for (std::size_t i = 0; i < n; ++i) {
            const double id = ids_[i];
            if (!(id >= 1.0 && id <= static_cast<double>(n))) return {};
            const auto k = static_cast<std::size_t>(id);
            if (static_cast<double>(k) != id || line_of_id[k - 1] != kUnseen) return {};
            line_of_id[k - 1] = i;
        }
        return line_of_id;
    }

    const DumpColumns& columns_;
    std::uint64_t frame_;
    std::optional<StructureError> error_;
    std::optional<Lattice> lattice_;
    Vec3 origin_{};
    std::vector<Vec3> positions_;                 // fractional, one per line
    std::vector<std::uint32_t> element_of_line_;  // an index into elements_
    std::vector<ElementName> elements_;           // the frame's elements, in order of first appearance
    std::map<std::string, std::uint32_t, std::less<>> element_index_;
    std::map<std::string, std::uint32_t, std::less<>> type_element_;  // type -> index into elements_
    static constexpr std::uint32_t kNoElement = ~std::uint32_t{0};
    std::array<std::uint32_t, 256> one_byte_type_{};  // the same for types of one byte; kNoElement if none
    std::vector<double> ids_;
    std::vector<std::string_view> token_;  // the needed tokens of the line in hand
    // The columns read as numbers while the line is split: 0, 1, 2 for x, y,
    // z, kIdNumber for the id, -1 for the others.
    std::vector<int> number_of_column_;
    static constexpr int kIdNumber = 3;
    const std::pair<const std::string, std::uint32_t>* last_type_ = nullptr;
    std::uint32_t last_element_ = 0;  // of the line in hand
    // Whole ids below 2^53 are exact as doubles.
    static constexpr std::uint64_t kExactIds = std::uint64_t{1} << 53;
};

}  // namespace

Result<DumpBox> parse_box_bounds(std::string_view flags, const std::string_view (&lines)[3]) {
    const bool tilted = starts_with_words(flags, "xy xz yz");
    const bool general = starts_with_words(flags, "abc origin");
    const std::size_t wanted = tilted ? 3 : general ? 4 : 2;
    double v[3][4] = {};
    for (int axis = 0; axis < 3; ++axis) {
        const std::vector<std::string_view> tokens = tokens_of(lines[axis], wanted + 1);
        const auto bad = [&] { return fail("cannot read the box bounds '" + std::string(trim(lines[axis])) + "'"); };
        if (tokens.size() != wanted) return bad();
        for (std::size_t k = 0; k < wanted; ++k) {
            const std::optional<double> value = try_parse_number(tokens[k]);
            if (!value) return bad();
            v[axis][k] = *value;
        }
    }
    DumpBox box;
    if (general) {
        for (int axis = 0; axis < 3; ++axis) {
            box.rows[axis] = {v[axis][0], v[axis][1], v[axis][2]};
            box.origin[axis] = v[axis][3];
        }
        return box;
    }
    const double xy = tilted ? v[0][2] : 0.0, xz = tilted ? v[1][2] : 0.0, yz = tilted ? v[2][2] : 0.0;
    // A tilted box's bounds enclose the whole parallelepiped; the box itself
    // is narrower by the tilts that stick out on either side.
    const double x_lo = v[0][0] - std::min({0.0, xy, xz, xy + xz});
    const double x_hi = v[0][1] - std::max({0.0, xy, xz, xy + xz});
    const double y_lo = v[1][0] - std::min(0.0, yz);
    const double y_hi = v[1][1] - std::max(0.0, yz);
    box.rows = {{{x_hi - x_lo, 0.0, 0.0}, {xy, y_hi - y_lo, 0.0}, {xz, yz, v[2][1] - v[2][0]}}};
    box.origin = {x_lo, y_lo, v[2][0]};
    return box;
}

Result<DumpColumns> parse_dump_columns(std::string_view names) {
    const std::vector<std::string_view> columns = tokens_of(names, 4096);
    const auto find = [&](std::string_view name) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < columns.size(); ++i)
            if (columns[i] == name) return i;
        return std::nullopt;
    };
    DumpColumns out;
    out.id = find("id");
    out.type = find("type");
    out.element = find("element");
    if (!out.type && !out.element) return fail("ITEM: ATOMS has no element or type column");
    struct Choice {
        const char* names[3];
        DumpColumns::Position kind;
    };
    static constexpr Choice kChoices[] = {{{"x", "y", "z"}, DumpColumns::Position::cartesian},
                                          {{"xu", "yu", "zu"}, DumpColumns::Position::unwrapped},
                                          {{"xs", "ys", "zs"}, DumpColumns::Position::scaled},
                                          {{"xsu", "ysu", "zsu"}, DumpColumns::Position::scaled_unwrapped}};
    bool found = false;
    for (const Choice& choice : kChoices) {
        std::optional<std::size_t> at[3] = {find(choice.names[0]), find(choice.names[1]), find(choice.names[2])};
        if (!at[0] || !at[1] || !at[2]) continue;
        for (int k = 0; k < 3; ++k) out.xyz[k] = *at[k];
        out.kind = choice.kind;
        found = true;
        break;
    }
    if (!found) return fail("ITEM: ATOMS has no x y z, xu yu zu, xs ys zs or xsu ysu zsu columns");
    std::size_t last = std::max({out.xyz[0], out.xyz[1], out.xyz[2]});
    for (const std::optional<std::size_t>& c : {out.id, out.type, out.element})
        if (c) last = std::max(last, *c);
    // The atom lines are read into a fixed array of 64 tokens.
    if (last >= 64) return fail("ITEM: ATOMS puts a needed column after the 64th");
    out.needed = last + 1;
    return out;
}

Result<std::optional<std::uint64_t>> LammpsDumpFrames::read_header(LineStream& stream, std::uint64_t frame) {
    std::string_view line;
    LineStatus status;
    do status = stream.next_line(line);
    while (status == LineStatus::line && trim(line).empty());
    if (status == LineStatus::error) return read_error(stream, "the frame header");
    if (status == LineStatus::end) return std::optional<std::uint64_t>();

    std::optional<std::uint64_t> n_atoms;
    bool have_box = false;
    for (;;) {
        const std::string_view text = trim(line);
        if (text.substr(0, kItem.size()) != kItem)
            return fail(frame_text(frame) + ": expected an ITEM: line, found '" + std::string(text) + "'");
        const std::string_view item = trim(text.substr(kItem.size()));
        if (starts_with_words(item, "ATOMS")) {
            if (!n_atoms) return fail(frame_text(frame) + " has no ITEM: NUMBER OF ATOMS before its atoms");
            if (!have_box) return fail(frame_text(frame) + " has no ITEM: BOX BOUNDS before its atoms");
            columns_ = parse_dump_columns(trim(item.substr(5)));
            return n_atoms;
        }
        // The value lines of the item: one, or three for the box.
        const bool box = starts_with_words(item, "BOX BOUNDS");
        const std::string flags(box ? trim(item.substr(10)) : std::string_view());
        const std::string name(item);
        std::string values[3];
        for (int k = 0; k < (box ? 3 : 1); ++k) {
            status = stream.next_line(line);
            if (status == LineStatus::error) return read_error(stream, "the frame header");
            if (status == LineStatus::end) return fail(frame_text(frame) + " ends inside its ITEM: " + name);
            values[k].assign(line);
        }
        if (box) {
            const std::string_view views[3] = {values[0], values[1], values[2]};
            box_ = parse_box_bounds(flags, views);
            have_box = true;
        } else if (starts_with_words(name, "NUMBER OF ATOMS")) {
            const std::string_view count_text = trim(values[0]);
            n_atoms = parse_count(count_text);
            if (!n_atoms)
                return fail(frame_text(frame) + ": expected an atom count, found '" + std::string(count_text) + "'");
        }
        // TIMESTEP, TIME, UNITS and the like: their value is not needed.
        status = stream.next_line(line);
        if (status == LineStatus::error) return read_error(stream, "the frame header");
        if (status == LineStatus::end) return fail(frame_text(frame) + " ends before its ITEM: ATOMS line");
    }
}

std::unique_ptr<AtomLineParser> LammpsDumpFrames::start_frame(std::uint64_t frame, std::uint64_t,
                                                              std::size_t expected_sites) {
    struct Failed final : AtomLineParser {
        explicit Failed(StructureError e) : error(std::move(e)) {}
        bool failed() const override { return true; }
        void add(std::string_view, std::uint64_t) override {}
        Result<Structure> finish() && override { return std::move(error); }
        StructureError error;
    };
    if (!box_) return std::make_unique<Failed>(fail(frame_text(frame) + ": " + box_.error().message));
    if (!columns_) return std::make_unique<Failed>(fail(frame_text(frame) + ": " + columns_.error().message));
    return std::make_unique<DumpAtomLines>(*box_, *columns_, types_, frame, expected_sites);
}

}  // namespace kestrel
