#include "formats/cif/disorder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <utility>

#include "base/fixed4.hpp"
#include "base/text.hpp"
#include "formats/cif/close_pairs.hpp"
#include "formats/cif/unit_overlaps.hpp"

namespace kestrel {
namespace {

using Cell = CellShift;

// The disorder columns of one row.
struct RowCodes {
    bool grouped = false;  // has a group code that counts
    std::string assembly;  // "" where the file gives none
    std::string group;     // a negative code marks disorder about a symmetry element; the images tell the same
};

bool same_codes(const RowCodes& a, const RowCodes& b) {
    return a.grouped == b.grouped && a.assembly == b.assembly && a.group == b.group;
}

std::vector<RowCodes> read_codes(const CifBlock& block, const std::vector<CifDisorderRow>& rows, CifNotices& notices) {
    std::vector<RowCodes> codes(rows.size());
    const CifLoop* loop = block.loop_with("_atom_site_fract_x");
    if (loop == nullptr) return codes;
    const std::optional<std::size_t> assembly = loop->column("_atom_site_disorder_assembly");
    const std::optional<std::size_t> group = loop->column("_atom_site_disorder_group");
    if (!group) return codes;
    for (std::size_t a = 0; a < rows.size(); ++a) {
        const std::string_view value = trim(loop->at(rows[a].loop_row, *group));
        if (cif_value_missing(value)) continue;
        // A fully occupied atom is always there, whatever its group says.
        if (rows[a].occupancy >= 1.0 - 1e-6) {
            notices.add(CifNoticeKind::group_on_full_row, std::string(rows[a].label));
            continue;
        }
        RowCodes& code = codes[a];
        code.grouped = true;
        code.group = std::string(value);
        if (assembly && !cif_value_missing(loop->at(rows[a].loop_row, *assembly)))
            code.assembly = std::string(trim(loop->at(rows[a].loop_row, *assembly)));
    }
    return codes;
}

Vec3 at_cell(const Vec3& frac, const Cell& cell) {
    return {frac[0] + cell[0], frac[1] + cell[1], frac[2] + cell[2]};
}

struct Image {
    std::uint32_t site;
    Cell cell;  // the image lies at the site's position plus this translation
};

// Where each image of a row landed: per operation, the site among those the
// row was merged into that lies nearest the image, or nothing when none is
// within half an angstrom (an image dropped as not finite).
std::vector<std::optional<Image>> images_of_row(const Structure& structure, const CifDisorderRow& row,
                                                const std::vector<SymmetryOperation>& operations,
                                                const std::vector<std::uint32_t>& candidates) {
    std::vector<std::optional<Image>> images(operations.size());
    for (std::size_t k = 0; k < operations.size(); ++k) {
        const Vec3 image = operations[k].apply(row.position);
        double best = 0.5;
        for (std::uint32_t site : candidates) {
            const auto [shift, distance] = nearest_image(structure.lattice(), image, structure.sites()[site].frac);
            if (distance < best) {
                best = distance;
                images[k] = Image{site, shift};
            }
        }
    }
    return images;
}

struct Member {
    std::uint32_t site;
    Cell cell;
    std::uint32_t alternative;
};

class UnitBuilder {
public:
    explicit UnitBuilder(const Structure& structure)
        : places_(structure.n_sites()), shared_(structure.n_sites(), false) {}

    std::uint32_t new_unit(UnitSource source) {
        sources_.push_back(source);
        return static_cast<std::uint32_t>(sources_.size() - 1);
    }
    const SiteUnit& place(std::uint32_t site) const { return places_[site]; }

    // Puts `member` (its cell shifted by `offset`) into `unit`. A site that
    // already takes another place holds atoms of two places at once: it
    // stays out of every unit.
    void put(std::uint32_t unit, const Member& member, const Cell& offset, std::vector<std::string>& clashes,
             const std::string& label) {
        SiteUnit& place = places_[member.site];
        const Cell cell = member.cell + offset;
        if (!place.in_unit()) {
            if (shared_[member.site]) return;
            place = SiteUnit{unit, member.alternative, cell};
            return;
        }
        if (place.unit == unit && place.alternative == member.alternative && place.cell == cell) return;
        shared_[member.site] = true;
        clashes.push_back(label);
    }

    // The units with the shared sites taken out, units left without sites
    // dropped and the rest numbered in order.
    Units finish() {
        for (std::size_t s = 0; s < places_.size(); ++s)
            if (shared_[s]) places_[s] = SiteUnit{};
        Units units{std::move(places_), std::move(sources_)};
        renumber_units(units);
        return units;
    }

    // Whether the site was kept out of every unit.
    bool shared(std::uint32_t site) const { return shared_[site]; }

    // Keeps a site out of every unit: it holds atoms of several groups.
    void exclude(std::uint32_t site) { shared_[site] = true; }

private:
    std::vector<SiteUnit> places_;
    std::vector<bool> shared_;
    std::vector<UnitSource> sources_;
};

// Whether every row merged into the site carries the same disorder codes.
bool one_kind_of_row(std::span<const std::uint32_t> rows_of_site, const std::vector<RowCodes>& codes,
                     const std::vector<std::uint32_t>& row_index) {
    const RowCodes* first = nullptr;
    for (std::uint32_t loop_row : rows_of_site) {
        const RowCodes& code = codes[row_index[loop_row]];
        if (first == nullptr) first = &code;
        else if (!same_codes(*first, code)) return false;
    }
    return true;
}

// The image of one group of one assembly under one operation.
struct Piece {
    std::size_t assembly;  // index into the assemblies
    std::string group;
    std::size_t operation;
    std::vector<Member> members;
    std::vector<Vec3> at;  // Cartesian, per member at its cell
    Vec3 centre{};         // Cartesian, of the members at their cells
    double radius = 0.0;   // from the centre to the farthest member
};

// Groups of one copy of an assembly lying this close belong to one place: the
// alternatives of a place overlap, while two places of a molecule, or two
// molecules, are farther apart than any bond.
inline constexpr double kSamePlaceDistance = 1.6;  // angstrom

class PieceLinker {
public:
    PieceLinker(const Structure& structure, std::vector<Piece>& pieces) : structure_(structure), pieces_(pieces) {
        double widest = 0.0;
        for (Piece& piece : pieces_) {
            Vec3 sum{0.0, 0.0, 0.0};
            piece.at.clear();
            for (const Member& m : piece.members) {
                const Vec3 at = position(m);
                piece.at.push_back(at);
                for (int axis = 0; axis < 3; ++axis) sum[axis] += at[axis];
            }
            for (int axis = 0; axis < 3; ++axis)
                piece.centre[axis] = sum[axis] / static_cast<double>(piece.members.size());
            for (const Vec3& at : piece.at) piece.radius = std::max(piece.radius, length(at - piece.centre));
            widest = std::max(widest, piece.radius);
        }
        // Two pieces are one place only with centres within both radii and
        // kSamePlaceDistance of each other, at some translation.
        std::vector<Vec3> centres;
        centres.reserve(pieces_.size());
        for (const Piece& piece : pieces_) centres.push_back(structure_.lattice().to_fractional(piece.centre));
        within_reach_.emplace(centres, fractional_reach(structure_.lattice(), 2.0 * widest + kSamePlaceDistance));
    }

    // The pieces that may be one place with piece p, ascending.
    std::span<const std::uint32_t> candidates(std::size_t p) const { return within_reach_->of(p); }

    // The translation of q (in cells) that puts it on p, when the two are one
    // place: the same copy with atoms within kSamePlaceDistance, or any two
    // copies with atoms on top of one another (within kSplitDistance).
    std::optional<Cell> link(const Piece& p, const Piece& q) const {
        if (p.assembly != q.assembly) return std::nullopt;
        if (p.operation == q.operation && closer_than(p, q, Cell{0, 0, 0}, kSamePlaceDistance)) return Cell{0, 0, 0};
        // The translations that could bring q within reach of p.
        const Vec3 d = structure_.lattice().to_fractional(p.centre - q.centre);
        const Cell nearest{static_cast<std::int32_t>(std::round(d[0])), static_cast<std::int32_t>(std::round(d[1])),
                           static_cast<std::int32_t>(std::round(d[2]))};
        // A translation whose centres lie farther apart than both radii and
        // kSplitDistance is passed over below; on each axis it is known as
        // such from the fractional difference alone.
        const double apart_at_most = p.radius + q.radius + kSplitDistance;
        const auto hopeless = [&](int axis, int step) {
            return std::fabs(d[axis] - (nearest[axis] + step)) > apart_at_most * reach_per_angstrom_[axis] + 1e-9;
        };
        for (int i = -1; i <= 1; ++i) {
            if (hopeless(0, i)) continue;
            for (int j = -1; j <= 1; ++j) {
                if (hopeless(1, j)) continue;
                for (int k = -1; k <= 1; ++k) {
                    if (hopeless(2, k)) continue;
                    const Cell shift{nearest[0] + i, nearest[1] + j, nearest[2] + k};
                    if (p.operation == q.operation && shift == Cell{0, 0, 0}) continue;
                    const Vec3 moved =
                        structure_.lattice().to_cartesian(Vec3{double(shift[0]), double(shift[1]), double(shift[2])});
                    const double apart = length(p.centre - q.centre - moved);
                    if (apart > p.radius + q.radius + kSplitDistance) continue;
                    if (closer_than(p, q, shift, kSplitDistance)) return shift;
                }
            }
        }
        return std::nullopt;
    }

    // Whether two members of two lists, at their cells, lie closer than
    // `limit`; a member both lists hold (an atom on the symmetry element that
    // maps one onto the other) does not count.
    bool closer_than(const std::vector<Member>& p, const std::vector<Member>& q, double limit) const {
        std::vector<Vec3> at_q;
        at_q.reserve(q.size());
        for (const Member& b : q) at_q.push_back(position(b));
        for (const Member& a : p) {
            const Vec3 pa = position(a);
            for (std::size_t b = 0; b < q.size(); ++b) {
                if (a.site == q[b].site && a.cell == q[b].cell) continue;
                if (length(pa - at_q[b]) < limit) return true;
            }
        }
        return false;
    }

private:
    Vec3 position(const Member& m) const {
        return structure_.lattice().to_cartesian(at_cell(structure_.sites()[m.site].frac, m.cell));
    }

    // The same for two pieces, q moved by `shift`.
    bool closer_than(const Piece& p, const Piece& q, const Cell& shift, double limit) const {
        const Vec3 moved =
            shift == Cell{0, 0, 0}
                ? Vec3{0.0, 0.0, 0.0}
                : structure_.lattice().to_cartesian(Vec3{double(shift[0]), double(shift[1]), double(shift[2])});
        const Vec3 centre = q.centre + moved;
        for (std::size_t a = 0; a < p.members.size(); ++a) {
            const Vec3& pa = p.at[a];
            // No member of q lies closer to this one than q's centre less its radius.
            if (length(pa - centre) > q.radius + limit + 1e-9) continue;
            for (std::size_t b = 0; b < q.members.size(); ++b) {
                if (p.members[a].site == q.members[b].site && p.members[a].cell == q.members[b].cell + shift) continue;
                const Vec3& pb = q.at[b];
                if (length(pa - pb - moved) < limit) return true;
            }
        }
        return false;
    }

    const Structure& structure_;
    std::vector<Piece>& pieces_;
    std::optional<CloseNeighbors> within_reach_;
    Vec3 reach_per_angstrom_ = fractional_reach(structure_.lattice(), 1.0);
};

bool same_sites(const std::vector<Member>& a, const std::vector<Member>& b) {
    if (a.size() != b.size()) return false;
    for (const Member& m : b)
        if (std::none_of(a.begin(), a.end(), [&](const Member& n) { return n.site == m.site && n.cell == m.cell; }))
            return false;
    return true;
}

// Every piece of every assembly; the pieces that are one place (see
// PieceLinker) form a unit, each distinct piece one of its alternatives.
// A unit holding two images of one group is disorder about a symmetry
// element; any other, disorder groups. Returns, per assembly, whether some
// copy of it became such a symmetry unit.
std::vector<bool> group_units(const Structure& structure, std::vector<Piece>& pieces, std::size_t n_assemblies,
                              UnitBuilder& builder, std::vector<std::string>& clashes) {
    std::vector<bool> about_symmetry(n_assemblies, false);
    const PieceLinker linker(structure, pieces);
    std::vector<bool> seen(pieces.size(), false);
    for (std::size_t root = 0; root < pieces.size(); ++root) {
        if (seen[root]) continue;
        seen[root] = true;
        std::vector<std::pair<std::size_t, Cell>> component{{root, Cell{0, 0, 0}}};
        for (std::size_t next = 0; next < component.size(); ++next) {
            const auto [from, offset] = component[next];
            for (const std::uint32_t q : linker.candidates(from)) {
                if (seen[q]) continue;
                if (const std::optional<Cell> shift = linker.link(pieces[from], pieces[q])) {
                    seen[q] = true;
                    component.emplace_back(q, offset + *shift);
                }
            }
        }
        // Alternatives: the groups. Images of one group that do not overlap
        // are parts of one copy sitting on a symmetry element, and one
        // alternative; images that overlap are alternatives of their own
        // (disorder about the symmetry element).
        struct Alternative {
            std::string group;
            std::vector<std::vector<Member>> parts;
        };
        std::vector<Alternative> found;
        for (const auto& [index, offset] : component) {
            std::vector<Member> placed;
            for (const Member& m : pieces[index].members) placed.push_back({m.site, m.cell + offset, 0});
            bool known = false, joined = false;
            for (Alternative& alternative : found) {
                for (const std::vector<Member>& part : alternative.parts) known = known || same_sites(part, placed);
                if (known) break;
            }
            if (known) continue;  // the operation maps the group onto itself
            for (Alternative& alternative : found) {
                if (alternative.group != pieces[index].group) continue;
                const bool overlaps = std::any_of(
                    alternative.parts.begin(), alternative.parts.end(),
                    [&](const std::vector<Member>& part) { return linker.closer_than(part, placed, kSplitDistance); });
                if (overlaps) continue;
                alternative.parts.push_back(placed);
                joined = true;
                break;
            }
            if (!joined) found.push_back({pieces[index].group, {placed}});
        }
        bool symmetry = false;
        std::vector<std::vector<Member>> alternatives;
        for (std::size_t a = 0; a < found.size(); ++a) {
            for (std::size_t b = 0; b < a; ++b) symmetry = symmetry || found[a].group == found[b].group;
            std::vector<Member> all;
            for (const std::vector<Member>& part : found[a].parts) all.insert(all.end(), part.begin(), part.end());
            alternatives.push_back(std::move(all));
        }
        if (symmetry) about_symmetry[pieces[root].assembly] = true;
        const std::uint32_t unit = builder.new_unit(symmetry ? UnitSource::symmetry : UnitSource::groups);
        for (std::size_t a = 0; a < alternatives.size(); ++a)
            for (const Member& m : alternatives[a])
                builder.put(unit, Member{m.site, m.cell, static_cast<std::uint32_t>(a)}, Cell{0, 0, 0}, clashes,
                            "site " + std::to_string(m.site));
    }
    return about_symmetry;
}

// Partly occupied sites that no unit holds and no group code names, closer
// than kSplitDistance to one another: each connected set is a unit whose
// alternatives are its sites. Returns the units made.
std::size_t split_units(const Structure& structure, const std::vector<bool>& candidate, UnitBuilder& builder,
                        std::vector<bool>& left_alone, CifNotices& notices) {
    const std::vector<Site>& sites = structure.sites();
    std::vector<std::uint32_t> partial;
    for (std::uint32_t s = 0; s < sites.size(); ++s)
        if (candidate[s]) partial.push_back(s);
    // Sites piled on one another would make the sweep below pairwise; this
    // many is more than any real cell holds.
    constexpr std::size_t kMaxScanned = 20000;
    if (partial.size() > kMaxScanned) {
        notices.add(CifNoticeKind::split_search_skipped, {}, partial.size());
        return 0;
    }
    struct Edge {
        std::uint32_t to;
        Cell shift;  // `to` lies next to the site at its position plus this
    };
    std::vector<Vec3> positions;
    positions.reserve(partial.size());
    for (std::uint32_t s : partial) positions.push_back(sites[s].frac);
    const CloseNeighbors close(positions, fractional_reach(structure.lattice(), kSplitDistance));
    // Per site its partners in ascending order, as a scan of every pair
    // in order would list them.
    std::vector<std::vector<Edge>> edges(sites.size());
    for (std::size_t i = 0; i < partial.size(); ++i)
        for (const std::uint32_t j : close.of(i)) {
            if (j < i) continue;
            const auto [shift, distance] =
                nearest_image(structure.lattice(), sites[partial[i]].frac, sites[partial[j]].frac);
            if (distance >= kSplitDistance) continue;
            edges[partial[i]].push_back({partial[j], shift});
            edges[partial[j]].push_back({partial[i], Cell{-shift[0], -shift[1], -shift[2]}});
        }
    std::vector<bool> seen(sites.size(), false);
    std::size_t made = 0;
    for (std::uint32_t root : partial) {
        if (seen[root] || edges[root].empty()) continue;
        std::vector<Member> component{{root, Cell{0, 0, 0}, 0}};
        seen[root] = true;
        for (std::size_t next = 0; next < component.size(); ++next) {
            const Member from = component[next];
            for (const Edge& edge : edges[from.site]) {
                if (seen[edge.to]) continue;
                seen[edge.to] = true;
                component.push_back({edge.to, from.cell + edge.shift, static_cast<std::uint32_t>(component.size())});
            }
        }
        double sum = 0.0;
        for (const Member& m : component) sum += site_occupancy(sites[m.site]);
        std::string names;
        for (const Member& m : component) names += (names.empty() ? "" : "/") + std::to_string(m.site);
        if (sum > 1.001) {
            notices.add(CifNoticeKind::overfull_split, "sites " + names + ": " + format_fixed4(sum));
            for (const Member& m : component) left_alone[m.site] = true;
            continue;
        }
        const std::uint32_t unit = builder.new_unit(UnitSource::distance);
        std::vector<std::string> unused;
        for (const Member& m : component) builder.put(unit, m, Cell{0, 0, 0}, unused, {});
        notices.add(CifNoticeKind::units_from_distance, "sites " + names);
        ++made;
    }
    return made;
}

// Rows of one group whose occupancies differ by more than this are two
// places that reuse the group's code (0.73/0.27 on one ligand, 0.52/0.48 on
// another); closer ones are one group whose atoms were refined one by one.
inline constexpr double kSameShare = 0.02;

// Per row, a number telling apart the places one group code stands for:
// its occupancies sorted, a new class after each gap above kSameShare.
std::vector<std::size_t> occupancy_classes(const std::vector<CifDisorderRow>& rows,
                                           const std::vector<RowCodes>& codes) {
    std::map<std::pair<std::string, std::string>, std::vector<double>> shares;
    for (std::size_t a = 0; a < rows.size(); ++a)
        if (codes[a].grouped) shares[{codes[a].assembly, codes[a].group}].push_back(rows[a].occupancy);
    for (auto& [key, values] : shares) std::sort(values.begin(), values.end());
    std::vector<std::size_t> share(rows.size(), 0);
    for (std::size_t a = 0; a < rows.size(); ++a) {
        if (!codes[a].grouped) continue;
        const std::vector<double>& values = shares[{codes[a].assembly, codes[a].group}];
        for (std::size_t i = 1; i < values.size() && values[i] <= rows[a].occupancy; ++i)
            if (values[i] - values[i - 1] > kSameShare) ++share[a];
    }
    return share;
}

// An assembly of one group whose images did not overlap one another: its
// atoms come and go together, which may not be what the file meant. One
// whose images overlap is disorder about a symmetry element, as written.
void check_single_groups(const std::vector<std::string>& assemblies,
                         const std::map<std::string, std::vector<std::string>>& groups_of,
                         const std::vector<bool>& about_symmetry, CifNotices& notices) {
    for (const auto& [assembly, groups] : groups_of) {
        const auto index = std::find(assemblies.begin(), assemblies.end(), assembly) - assemblies.begin();
        if (groups.size() != 1 || about_symmetry[static_cast<std::size_t>(index)]) continue;
        notices.add(CifNoticeKind::single_group_assembly,
                    (assembly.empty() ? std::string("group ") : "assembly " + assembly + ", group ") + groups[0]);
    }
}

// A group whose rows differ in occupancy, as a notice.
void check_groups(const std::vector<CifDisorderRow>& rows, const std::vector<RowCodes>& codes, CifNotices& notices) {
    std::map<std::pair<std::string, std::string>, double> first;
    std::vector<std::pair<std::string, std::string>> reported;
    for (std::size_t a = 0; a < rows.size(); ++a) {
        if (!codes[a].grouped) continue;
        const auto key = std::make_pair(codes[a].assembly, codes[a].group);
        const auto [entry, added] = first.try_emplace(key, rows[a].occupancy);
        if (added || std::fabs(entry->second - rows[a].occupancy) <= 1e-3) continue;
        if (std::find(reported.begin(), reported.end(), key) != reported.end()) continue;
        reported.push_back(key);
        notices.add(CifNoticeKind::uneven_group, (key.first.empty() ? std::string() : "assembly " + key.first + ", ") +
                                                     "group " + key.second + ": " + std::string(rows[a].label));
    }
}

// Per loop row, its index into the rows (rows not kept map to none).
std::vector<std::uint32_t> index_of_loop_rows(const std::vector<CifDisorderRow>& rows) {
    std::uint32_t last = 0;
    for (const CifDisorderRow& row : rows) last = std::max(last, row.loop_row);
    std::vector<std::uint32_t> index(rows.empty() ? 0 : std::size_t{last} + 1, kNoUnit);
    for (std::size_t a = 0; a < rows.size(); ++a) index[rows[a].loop_row] = static_cast<std::uint32_t>(a);
    return index;
}

// The units the disorder groups give, into `builder`; sites holding rows of
// different codes are kept out of every unit.
void add_group_units(const std::vector<CifDisorderRow>& rows, const std::vector<RowCodes>& codes,
                     const std::vector<std::uint32_t>& row_index, const std::vector<SymmetryOperation>& operations,
                     const Structure& structure, const CifRowsOfSites& site_rows, UnitBuilder& builder,
                     std::vector<std::string>& clashes, CifNotices& notices) {
    std::vector<std::vector<std::uint32_t>> sites_of_row(rows.size());
    for (std::uint32_t s = 0; s < site_rows.n_sites(); ++s) {
        for (std::uint32_t loop_row : site_rows.of(s)) sites_of_row[row_index[loop_row]].push_back(s);
        if (!one_kind_of_row(site_rows.of(s), codes, row_index)) {
            builder.exclude(s);
            clashes.push_back("site " + std::to_string(s));
        }
    }

    // Assemblies and their groups in order of first row; per group its rows.
    std::vector<std::string> assemblies;
    std::map<std::string, std::vector<std::string>> groups_of;
    std::map<std::pair<std::string, std::string>, std::vector<std::size_t>> rows_of_group;
    std::vector<std::vector<std::optional<Image>>> images(rows.size());
    for (std::size_t a = 0; a < rows.size(); ++a) {
        if (!codes[a].grouped) continue;
        images[a] = images_of_row(structure, rows[a], operations, sites_of_row[a]);
        const RowCodes& code = codes[a];
        if (groups_of.find(code.assembly) == groups_of.end()) assemblies.push_back(code.assembly);
        std::vector<std::string>& groups = groups_of[code.assembly];
        if (std::find(groups.begin(), groups.end(), code.group) == groups.end()) groups.push_back(code.group);
        rows_of_group[{code.assembly, code.group}].push_back(a);
    }
    check_groups(rows, codes, notices);

    const std::vector<std::size_t> share = occupancy_classes(rows, codes);
    std::vector<Piece> pieces;
    for (std::size_t assembly = 0; assembly < assemblies.size(); ++assembly)
        for (const std::string& group : groups_of[assemblies[assembly]]) {
            const std::vector<std::size_t>& members = rows_of_group[{assemblies[assembly], group}];
            for (std::size_t k = 0; k < operations.size(); ++k) {
                std::map<std::size_t, Piece> by_share;
                for (std::size_t a : members) {
                    if (!images[a][k]) continue;
                    Piece& piece =
                        by_share
                            .try_emplace(share[a],
                                         Piece{assembly, group + "#" + std::to_string(share[a]), k, {}, {}, {}, 0.0})
                            .first->second;
                    piece.members.push_back({images[a][k]->site, images[a][k]->cell, 0});
                }
                for (auto& [unused, piece] : by_share) pieces.push_back(std::move(piece));
            }
        }
    // Pieces are related pairwise; more than this would make reading slow.
    constexpr std::size_t kMaxPieces = 4096;
    std::vector<bool> about_symmetry(assemblies.size(), false);
    if (pieces.size() > kMaxPieces) notices.add(CifNoticeKind::group_search_skipped, {}, pieces.size());
    else about_symmetry = group_units(structure, pieces, assemblies.size(), builder, clashes);
    check_single_groups(assemblies, groups_of, about_symmetry, notices);
}

}  // namespace

Result<Structure> add_cif_units(const CifBlock& block, const std::vector<CifDisorderRow>& rows,
                                const std::vector<SymmetryOperation>& operations, Structure structure,
                                const CifRowsOfSites& site_rows, CifNotices& notices) {
    const std::vector<RowCodes> codes = read_codes(block, rows, notices);
    const bool grouped = std::any_of(codes.begin(), codes.end(), [](const RowCodes& code) { return code.grouped; });
    // An ordered file without group codes has no disorder to look for.
    if (!grouped && std::all_of(structure.sites().begin(), structure.sites().end(),
                                [](const Site& site) { return site_is_ordered(site); }))
        return structure;
    const std::vector<std::uint32_t> row_index = index_of_loop_rows(rows);

    UnitBuilder builder(structure);
    std::vector<std::string> clashes;
    if (grouped) add_group_units(rows, codes, row_index, operations, structure, site_rows, builder, clashes, notices);

    std::vector<bool> candidate(structure.n_sites(), false);
    for (std::uint32_t s = 0; s < structure.n_sites(); ++s) {
        bool in_group = false;
        for (std::uint32_t loop_row : site_rows.of(s)) in_group = in_group || codes[row_index[loop_row]].grouped;
        candidate[s] = !in_group && !site_is_ordered(structure.sites()[s]) && !builder.place(s).in_unit();
    }
    std::vector<bool> left_alone(structure.n_sites(), false);
    split_units(structure, candidate, builder, left_alone, notices);
    for (std::uint32_t s = 0; s < structure.n_sites(); ++s) left_alone[s] = left_alone[s] || builder.shared(s);

    for (const std::string& label : clashes) notices.add(CifNoticeKind::shared_unit_sites, label);
    Units units = builder.finish();
    // Groups whose occupancies add above one at one place cannot be
    // alternatives: their sites are left independent.
    const std::vector<std::vector<UnitMember>> members = unit_members(units);
    bool dropped = false;
    for (std::size_t u = 0; u < members.size(); ++u) {
        double sum = 0.0;
        for (double occupancy : alternative_occupancies(structure.sites(), members[u])) sum += occupancy;
        if (sum <= 1.001) continue;
        notices.add(CifNoticeKind::overfull_unit,
                    "unit of site " + std::to_string(members[u].front().site) + ": " + format_fixed4(sum));
        for (const UnitMember& m : members[u]) {
            units.sites[m.site] = SiteUnit{};
            left_alone[m.site] = true;
        }
        dropped = true;
    }
    if (dropped) renumber_units(units);
    if (!units.empty()) {
        Result<Structure> with_units = make_structure(structure.lattice(), structure.sites(), std::move(units));
        if (!with_units) return with_units;
        structure = std::move(*with_units);
    }
    const auto label = [&](std::uint32_t site) {
        const std::span<const std::uint32_t> merged = site_rows.of(site);
        return merged.empty() ? "site " + std::to_string(site) : std::string(rows[row_index[merged.front()]].label);
    };
    std::optional<ResolvedOverlaps> resolved = resolve_overlapping_units(structure, left_alone, label, notices);
    if (!resolved) return structure;
    return make_structure(structure.lattice(), std::move(resolved->sites), std::move(resolved->units));
}

}  // namespace kestrel
