#include "formats/cif/disorder.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <utility>

#include "base/fixed4.hpp"
#include "base/text.hpp"

namespace kestrel {
namespace {

using Cell = std::array<std::int32_t, 3>;

// The disorder columns of one row.
struct RowCodes {
    bool grouped = false;  // has a group code that counts
    std::string assembly;  // "" where the file gives none
    std::string group;
    bool negative = false;  // a negative group code: disorder about a symmetry element
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
            notices.add(CifNoticeKind::group_on_full_row, rows[a].label);
            continue;
        }
        RowCodes& code = codes[a];
        code.grouped = true;
        code.group = std::string(value);
        if (assembly && !cif_value_missing(loop->at(rows[a].loop_row, *assembly)))
            code.assembly = std::string(trim(loop->at(rows[a].loop_row, *assembly)));
        const std::optional<double> number = cif_number(value);
        code.negative = number && *number < 0.0;
    }
    return codes;
}

Vec3 cartesian(const Lattice& lattice, const Vec3& frac) {
    return lattice.to_cartesian(frac);
}

double length(const Vec3& v) {
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// The translation T that brings q + T nearest p, and the distance left.
std::pair<Cell, double> nearest_image(const Lattice& lattice, const Vec3& p, const Vec3& q) {
    Cell shift;
    Vec3 d;
    for (int axis = 0; axis < 3; ++axis) {
        const double delta = p[axis] - q[axis];
        const double whole = std::round(delta);
        shift[axis] = static_cast<std::int32_t>(whole);
        d[axis] = delta - whole;
    }
    return {shift, length(cartesian(lattice, d))};
}

Vec3 at_cell(const Vec3& frac, const Cell& cell) {
    return {frac[0] + cell[0], frac[1] + cell[1], frac[2] + cell[2]};
}

Cell add(const Cell& a, const Cell& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
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
    bool is_shared(std::uint32_t site) const { return shared_[site]; }

    // Puts `member` (its cell shifted by `offset`) into `unit`. A site that
    // already takes another place holds atoms of two places at once: it
    // stays out of every unit.
    void put(std::uint32_t unit, const Member& member, const Cell& offset, std::vector<std::string>& clashes,
             const std::string& label) {
        SiteUnit& place = places_[member.site];
        const Cell cell = add(member.cell, offset);
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
        std::vector<std::uint32_t> renumber(sources_.size(), kNoUnit);
        Units units;
        for (SiteUnit& place : places_) {
            if (!place.in_unit()) continue;
            if (renumber[place.unit] == kNoUnit) {
                renumber[place.unit] = static_cast<std::uint32_t>(units.sources.size());
                units.sources.push_back(sources_[place.unit]);
            }
            place.unit = renumber[place.unit];
        }
        if (units.sources.empty()) return {};
        // Alternatives numbered from 0 in order of first site, per unit.
        std::vector<std::map<std::uint32_t, std::uint32_t>> alternatives(units.sources.size());
        for (SiteUnit& place : places_) {
            if (!place.in_unit()) continue;
            auto& numbers = alternatives[place.unit];
            const auto [entry, added] =
                numbers.try_emplace(place.alternative, static_cast<std::uint32_t>(numbers.size()));
            place.alternative = entry->second;
        }
        units.sites = std::move(places_);
        return units;
    }

    // Keeps a site out of every unit: it holds atoms of several groups.
    void exclude(std::uint32_t site) { shared_[site] = true; }

private:
    std::vector<SiteUnit> places_;
    std::vector<bool> shared_;
    std::vector<UnitSource> sources_;
};

// Whether every row merged into the site carries the same disorder codes.
bool one_kind_of_row(const std::vector<std::uint32_t>& rows_of_site, const std::vector<RowCodes>& codes,
                     const std::map<std::uint32_t, std::size_t>& row_index) {
    const RowCodes* first = nullptr;
    for (std::uint32_t loop_row : rows_of_site) {
        const RowCodes& code = codes[row_index.at(loop_row)];
        if (first == nullptr) first = &code;
        else if (!same_codes(*first, code)) return false;
    }
    return true;
}

struct Finder {
    const Structure& structure;
    const std::vector<CifDisorderRow>& rows;
    const std::vector<RowCodes>& codes;
    const std::vector<std::vector<std::optional<Image>>>& images;  // per row, per operation
    std::size_t n_operations;
    UnitBuilder& builder;
    CifNotices& notices;
    std::vector<std::string> clashes;

    // Rows of one assembly with a positive group: each operation's copy is a
    // unit, joined with an earlier copy that reaches the same sites.
    std::size_t assembly_units(const std::vector<std::size_t>& members, const std::vector<std::string>& groups) {
        std::size_t made = 0;
        std::vector<std::uint32_t> own_units;
        for (std::size_t k = 0; k < n_operations; ++k) {
            std::vector<Member> copy;
            for (std::size_t a : members)
                if (images[a][k]) {
                    const auto alternative = static_cast<std::uint32_t>(
                        std::find(groups.begin(), groups.end(), codes[a].group) - groups.begin());
                    copy.push_back({images[a][k]->site, images[a][k]->cell, alternative});
                }
            if (copy.empty()) continue;
            std::optional<std::uint32_t> unit;
            Cell offset{0, 0, 0};
            for (const Member& m : copy) {
                const SiteUnit& place = builder.place(m.site);
                if (place.in_unit() && std::find(own_units.begin(), own_units.end(), place.unit) != own_units.end()) {
                    unit = place.unit;
                    for (int axis = 0; axis < 3; ++axis) offset[axis] = place.cell[axis] - m.cell[axis];
                    break;
                }
            }
            if (!unit) {
                unit = builder.new_unit(UnitSource::groups);
                own_units.push_back(*unit);
                ++made;
            }
            for (std::size_t i = 0; i < copy.size(); ++i) builder.put(*unit, copy[i], offset, clashes, label_of(copy[i].site));
        }
        return made;
    }

    // Rows of one negative group: each operation's copy is an alternative;
    // copies with atoms on top of one another (closer than kSplitDistance)
    // are alternatives of one unit.
    std::size_t symmetry_units(const std::vector<std::size_t>& members) {
        struct Found {
            std::uint32_t unit;
            std::vector<std::vector<Member>> alternatives;  // cells in the unit's frame
        };
        std::vector<Found> found;
        for (std::size_t k = 0; k < n_operations; ++k) {
            std::vector<Member> copy;
            for (std::size_t a : members)
                if (images[a][k]) copy.push_back({images[a][k]->site, images[a][k]->cell, 0});
            if (copy.empty()) continue;
            Found* joined = nullptr;
            Cell offset{0, 0, 0};
            for (Found& unit : found) {
                if (const std::optional<Cell> shift = overlap(unit, copy)) {
                    joined = &unit;
                    offset = *shift;
                    break;
                }
            }
            if (joined == nullptr) {
                found.push_back({builder.new_unit(UnitSource::symmetry), {}});
                joined = &found.back();
            }
            std::vector<Member> placed;
            for (const Member& m : copy) placed.push_back({m.site, add(m.cell, offset), 0});
            if (std::any_of(joined->alternatives.begin(), joined->alternatives.end(),
                            [&](const std::vector<Member>& known) { return same_sites(known, placed); }))
                continue;  // the operation maps the group onto itself
            const auto alternative = static_cast<std::uint32_t>(joined->alternatives.size());
            for (Member& m : placed) {
                m.alternative = alternative;
                builder.put(joined->unit, m, Cell{0, 0, 0}, clashes, label_of(m.site));
            }
            joined->alternatives.push_back(std::move(placed));
        }
        std::size_t made = 0;
        for (const Found& unit : found) made += unit.alternatives.size() > 1 ? 1 : 0;
        return made;
    }

    template <class Found>
    std::optional<Cell> overlap(const Found& unit, const std::vector<Member>& copy) const {
        for (const std::vector<Member>& alternative : unit.alternatives)
            for (const Member& known : alternative)
                for (const Member& m : copy) {
                    const auto [shift, distance] = nearest_image(
                        structure.lattice(), at_cell(structure.sites()[known.site].frac, known.cell),
                        at_cell(structure.sites()[m.site].frac, m.cell));
                    if (distance < kSplitDistance) return shift;
                }
        return std::nullopt;
    }

    static bool same_sites(const std::vector<Member>& a, const std::vector<Member>& b) {
        if (a.size() != b.size()) return false;
        for (const Member& m : b)
            if (std::none_of(a.begin(), a.end(),
                             [&](const Member& n) { return n.site == m.site && n.cell == m.cell; }))
                return false;
        return true;
    }

    std::string label_of(std::uint32_t site) const { return "site " + std::to_string(site); }
};

// Partly occupied sites that no unit holds and no group code names, closer
// than kSplitDistance to one another: each connected set is a unit whose
// alternatives are its sites. Returns the units made.
std::size_t split_units(const Structure& structure, const std::vector<bool>& candidate, UnitBuilder& builder,
                        CifNotices& notices) {
    const std::vector<Site>& sites = structure.sites();
    std::vector<std::uint32_t> partial;
    for (std::uint32_t s = 0; s < sites.size(); ++s)
        if (candidate[s]) partial.push_back(s);
    // A pairwise scan; more partly occupied sites than this would make it slow.
    constexpr std::size_t kMaxScanned = 20000;
    if (partial.size() > kMaxScanned) {
        notices.add(CifNoticeKind::split_search_skipped, {}, partial.size());
        return 0;
    }
    struct Edge {
        std::uint32_t to;
        Cell shift;  // `to` lies next to the site at its position plus this
    };
    std::vector<std::vector<Edge>> edges(sites.size());
    for (std::size_t i = 0; i < partial.size(); ++i)
        for (std::size_t j = i + 1; j < partial.size(); ++j) {
            const auto [shift, distance] = nearest_image(structure.lattice(), sites[partial[i]].frac, sites[partial[j]].frac);
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
                component.push_back({edge.to, add(from.cell, edge.shift), static_cast<std::uint32_t>(component.size())});
            }
        }
        double sum = 0.0;
        for (const Member& m : component) sum += site_occupancy(sites[m.site]);
        std::string names;
        for (const Member& m : component) names += (names.empty() ? "" : "/") + std::to_string(m.site);
        if (sum > 1.001) {
            notices.add(CifNoticeKind::overfull_split, "sites " + names + ": " + format_fixed4(sum));
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

// The bad input the disorder columns can hold, as notices: an assembly of
// one group, a group whose rows differ in occupancy.
void check_groups(const std::vector<CifDisorderRow>& rows, const std::vector<RowCodes>& codes,
                  const std::map<std::string, std::vector<std::string>>& groups_of, CifNotices& notices) {
    for (const auto& [assembly, groups] : groups_of)
        if (groups.size() == 1)
            notices.add(CifNoticeKind::single_group_assembly,
                        (assembly.empty() ? std::string("group ") : "assembly " + assembly + ", group ") + groups[0]);
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
                                                     "group " + key.second + ": " + rows[a].label);
    }
}

}  // namespace

Result<Structure> add_cif_units(const CifBlock& block, const std::vector<CifDisorderRow>& rows,
                                const std::vector<SymmetryOperation>& operations, Structure structure,
                                const std::vector<std::vector<std::uint32_t>>& site_rows, CifNotices& notices) {
    const std::vector<RowCodes> codes = read_codes(block, rows, notices);
    std::map<std::uint32_t, std::size_t> row_index;  // loop row -> index into rows
    for (std::size_t a = 0; a < rows.size(); ++a) row_index[rows[a].loop_row] = a;
    std::vector<std::vector<std::uint32_t>> sites_of_row(rows.size());
    std::vector<bool> mixed_codes(structure.n_sites(), false);
    for (std::uint32_t s = 0; s < site_rows.size(); ++s) {
        for (std::uint32_t loop_row : site_rows[s]) sites_of_row[row_index.at(loop_row)].push_back(s);
        mixed_codes[s] = !one_kind_of_row(site_rows[s], codes, row_index);
    }

    // Assemblies and their groups in order of first row; negative groups apart.
    std::vector<std::string> assemblies;
    std::map<std::string, std::vector<std::string>> groups_of;
    std::map<std::string, std::vector<std::size_t>> positive_rows;
    std::vector<std::pair<std::string, std::string>> negative_groups;
    std::map<std::pair<std::string, std::string>, std::vector<std::size_t>> negative_rows;
    std::vector<std::vector<std::optional<Image>>> images(rows.size());
    for (std::size_t a = 0; a < rows.size(); ++a) {
        if (!codes[a].grouped) continue;
        images[a] = images_of_row(structure, rows[a], operations, sites_of_row[a]);
        const RowCodes& code = codes[a];
        if (code.negative) {
            const auto key = std::make_pair(code.assembly, code.group);
            if (negative_rows.find(key) == negative_rows.end()) negative_groups.push_back(key);
            negative_rows[key].push_back(a);
            continue;
        }
        if (groups_of.find(code.assembly) == groups_of.end()) assemblies.push_back(code.assembly);
        std::vector<std::string>& groups = groups_of[code.assembly];
        if (std::find(groups.begin(), groups.end(), code.group) == groups.end()) groups.push_back(code.group);
        positive_rows[code.assembly].push_back(a);
    }
    check_groups(rows, codes, groups_of, notices);

    UnitBuilder builder(structure);
    Finder finder{structure, rows, codes, images, operations.size(), builder, notices, {}};
    for (std::uint32_t s = 0; s < structure.n_sites(); ++s)
        if (mixed_codes[s]) {
            builder.exclude(s);
            finder.clashes.push_back("site " + std::to_string(s));
        }
    for (const std::string& assembly : assemblies) finder.assembly_units(positive_rows[assembly], groups_of[assembly]);
    for (const auto& key : negative_groups) finder.symmetry_units(negative_rows[key]);

    std::vector<bool> candidate(structure.n_sites(), false);
    for (std::uint32_t s = 0; s < structure.n_sites(); ++s) {
        bool grouped = false;
        for (std::uint32_t loop_row : site_rows[s]) grouped = grouped || codes[row_index.at(loop_row)].grouped;
        candidate[s] = !grouped && !site_is_ordered(structure.sites()[s]) && !builder.place(s).in_unit();
    }
    split_units(structure, candidate, builder, notices);

    for (const std::string& label : finder.clashes) notices.add(CifNoticeKind::shared_unit_sites, label);
    Units units = builder.finish();
    // Groups whose occupancies add above one at one place cannot be
    // alternatives: their sites are left independent.
    const std::vector<std::vector<UnitMember>> members = unit_members(units);
    bool dropped = false;
    for (std::size_t u = 0; u < members.size(); ++u) {
        double sum = 0.0;
        for (double occupancy : alternative_occupancies(structure.sites(), members[u])) sum += occupancy;
        if (sum <= 1.001) continue;
        notices.add(CifNoticeKind::overfull_unit, "unit of site " + std::to_string(members[u].front().site) + ": " + format_fixed4(sum));
        for (const UnitMember& m : members[u]) units.sites[m.site] = SiteUnit{};
        dropped = true;
    }
    if (dropped) {
        // Number the remaining units again.
        UnitBuilder again(structure);
        std::vector<std::uint32_t> renumbered(units.sources.size(), kNoUnit);
        for (std::uint32_t s = 0; s < units.sites.size(); ++s) {
            const SiteUnit& place = units.sites[s];
            if (!place.in_unit()) continue;
            if (renumbered[place.unit] == kNoUnit) renumbered[place.unit] = again.new_unit(units.sources[place.unit]);
            std::vector<std::string> unused;
            again.put(renumbered[place.unit], Member{s, place.cell, place.alternative}, {0, 0, 0}, unused, {});
        }
        units = again.finish();
    }
    if (units.empty()) return structure;
    std::vector<Site> sites = structure.sites();
    Lattice lattice = structure.lattice();
    return make_structure(std::move(lattice), std::move(sites), std::move(units));
}

}  // namespace kestrel
