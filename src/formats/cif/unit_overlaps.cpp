#include "formats/cif/unit_overlaps.hpp"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include "formats/cif/close_pairs.hpp"
#include "formats/cif/disorder.hpp"

namespace kestrel {
namespace {

bool is_full(const Site& site) {
    return site_occupancy(site) >= 1.0 - 1e-6;
}

// What the search relates: each unit is one node, and each site of no unit
// a node of its own (a free partly occupied atom, or a fully occupied one).
// A node's members sit at their site plus their cell; moving a node by an
// offset moves all of them.
class Nodes {
public:
    explicit Nodes(const Structure& structure)
        : units_(structure.units()), n_units_(structure.n_units()), n_sites_(structure.n_sites()) {}

    std::size_t size() const { return n_units_ + n_sites_; }
    std::size_t of(std::uint32_t site) const {
        return in_unit(site) ? std::size_t{units_.sites[site].unit} : n_units_ + site;
    }
    CellShift cell(std::uint32_t site) const {
        if (!in_unit(site)) return CellShift{0, 0, 0};
        const auto& c = units_.sites[site].cell;
        return CellShift{c[0], c[1], c[2]};
    }
    bool is_unit(std::size_t node) const { return node < n_units_; }
    std::uint32_t site_of(std::size_t node) const { return static_cast<std::uint32_t>(node - n_units_); }

private:
    bool in_unit(std::uint32_t site) const { return !units_.sites.empty() && units_.sites[site].in_unit(); }

    const Units& units_;
    std::size_t n_units_, n_sites_;
};

struct Edge {
    std::size_t to;
    CellShift offset;  // `to` moved by this, relative to the node it is reached from
};

// Two atoms closer than kSplitDistance, as the notices name them.
struct Overlap {
    std::uint32_t partial, other;
    double distance;
    bool other_full;
};

// The nodes joined by overlaps, each with the offset that puts it next to
// the first; `consistent` is false where some node is reached at two
// offsets (the set winds round the cell and meets its own copy).
struct Component {
    std::vector<std::pair<std::size_t, CellShift>> nodes;
    std::vector<std::size_t> overlaps;  // indices into the overlaps found
    bool consistent = true;
};

std::string pair_label(const Overlap& overlap, const std::function<std::string(std::uint32_t)>& label) {
    char apart[32];
    std::snprintf(apart, sizeof apart, " %.2f from ", overlap.distance);
    return label(overlap.partial) + apart + label(overlap.other);
}

}  // namespace

std::optional<ResolvedOverlaps> resolve_overlapping_units(const Structure& structure,
                                                          const std::vector<bool>& left_alone,
                                                          const std::function<std::string(std::uint32_t)>& label,
                                                          CifNotices& notices) {
    const std::vector<Site>& sites = structure.sites();
    if (std::all_of(sites.begin(), sites.end(), is_full)) return std::nullopt;
    const Nodes nodes(structure);

    std::vector<Vec3> positions;
    positions.reserve(sites.size());
    for (const Site& site : sites) positions.push_back(site.frac);
    const CloseNeighbors close(positions, fractional_reach(structure.lattice(), kSplitDistance));
    std::vector<std::vector<Edge>> edges(nodes.size());
    std::vector<Overlap> overlaps;
    std::vector<std::vector<std::size_t>> overlaps_of(nodes.size());
    std::vector<bool> meets_own_copy(nodes.size(), false);
    std::set<std::string> reported;
    const auto report = [&](CifNoticeKind kind, const Overlap& overlap) {
        const std::string text = pair_label(overlap, label);
        if (reported.insert(std::to_string(static_cast<int>(kind)) + text).second) notices.add(kind, text);
    };
    for (std::uint32_t s = 0; s < sites.size(); ++s) {
        for (const std::uint32_t t : close.of(s)) {
            const bool s_full = is_full(sites[s]), t_full = is_full(sites[t]);
            if (t < s || (s_full && t_full)) continue;
            // The image of t next to s lies at t's position plus `shift`.
            const auto [shift, distance] = nearest_image(structure.lattice(), sites[s].frac, sites[t].frac);
            if (distance >= kSplitDistance) continue;
            const Overlap overlap = s_full ? Overlap{t, s, distance, true} : Overlap{s, t, distance, t_full};
            // Sites the finder already left out of every unit were reported
            // then; a full atom beside one of them is reported here.
            if (left_alone[s] || left_alone[t]) {
                if (overlap.other_full) report(CifNoticeKind::partial_beside_full_kept, overlap);
                continue;
            }
            const std::size_t a = nodes.of(s), b = nodes.of(t);
            const CellShift offset = nodes.cell(s) + shift - nodes.cell(t);
            if (a == b) {
                // Two alternatives of one unit, as they should be; or one
                // copy of the unit on top of another.
                if (offset != CellShift{0, 0, 0}) meets_own_copy[a] = true;
                continue;
            }
            overlaps_of[a].push_back(overlaps.size());
            overlaps.push_back(overlap);
            edges[a].push_back({b, offset});
            edges[b].push_back({a, CellShift{0, 0, 0} - offset});
        }
    }
    if (overlaps.empty()) return std::nullopt;

    // The sets of overlapping nodes, each node at the offset that puts it
    // next to the set's first.
    std::vector<Component> components;
    std::vector<bool> seen(nodes.size(), false);
    std::vector<CellShift> offset_of(nodes.size());
    for (std::size_t root = 0; root < nodes.size(); ++root) {
        if (seen[root] || edges[root].empty()) continue;
        Component component;
        seen[root] = true;
        offset_of[root] = CellShift{0, 0, 0};
        component.nodes.push_back({root, offset_of[root]});
        for (std::size_t next = 0; next < component.nodes.size(); ++next) {
            const std::size_t from = component.nodes[next].first;
            component.consistent = component.consistent && !meets_own_copy[from];
            component.overlaps.insert(component.overlaps.end(), overlaps_of[from].begin(), overlaps_of[from].end());
            for (const Edge& edge : edges[from]) {
                const CellShift at = offset_of[from] + edge.offset;
                if (seen[edge.to]) {
                    component.consistent = component.consistent && offset_of[edge.to] == at;
                    continue;
                }
                seen[edge.to] = true;
                offset_of[edge.to] = at;
                component.nodes.push_back({edge.to, at});
            }
        }
        components.push_back(std::move(component));
    }

    const std::vector<std::vector<UnitMember>> members = unit_members(structure.units());
    std::vector<Site> out_sites = sites;
    Units out_units = structure.units();
    if (out_units.sites.empty()) out_units.sites.assign(sites.size(), SiteUnit{});
    bool changed = false;
    for (const Component& component : components) {
        // What the partly occupied alternatives hold together, and whether
        // a fully occupied atom takes part.
        double taken = 0.0;
        bool with_full = false;
        std::optional<UnitSource> source;
        bool one_source = true;
        for (const auto& [node, offset] : component.nodes) {
            UnitSource found_by = UnitSource::distance;
            if (nodes.is_unit(node)) {
                for (double occupancy : alternative_occupancies(sites, members[node])) taken += occupancy;
                found_by = structure.units().sources[node];
            } else if (is_full(sites[nodes.site_of(node)])) {
                with_full = true;
                continue;
            } else {
                taken += site_occupancy(sites[nodes.site_of(node)]);
            }
            if (source && *source != found_by) one_source = false;
            source = found_by;
        }
        const bool fits = with_full ? taken < 1.0 - 1e-6 : taken <= 1.001;
        if (!component.consistent || !fits) {
            for (std::size_t o : component.overlaps)
                report(overlaps[o].other_full ? CifNoticeKind::partial_beside_full_kept
                                              : CifNoticeKind::overlapping_units_kept,
                       overlaps[o]);
            continue;
        }
        for (std::size_t o : component.overlaps)
            report(overlaps[o].other_full ? CifNoticeKind::partial_beside_full : CifNoticeKind::overlapping_units,
                   overlaps[o]);

        // One unit: every alternative of every node, numbered on from one
        // another; the fully occupied atoms last, as one alternative.
        const auto unit = static_cast<std::uint32_t>(out_units.sources.size());
        out_units.sources.push_back(one_source && source ? *source : UnitSource::distance);
        std::uint32_t next_alternative = 0;
        std::vector<std::pair<std::uint32_t, CellShift>> full;
        for (const auto& [node, offset] : component.nodes) {
            if (nodes.is_unit(node)) {
                std::uint32_t alternatives = 0;
                for (const UnitMember& m : members[node]) {
                    const CellShift cell = CellShift{m.cell[0], m.cell[1], m.cell[2]} + offset;
                    out_units.sites[m.site] = SiteUnit{unit, next_alternative + m.alternative, cell};
                    alternatives = std::max(alternatives, m.alternative + 1);
                }
                next_alternative += alternatives;
                continue;
            }
            const std::uint32_t site = nodes.site_of(node);
            if (is_full(sites[site])) full.emplace_back(site, offset);
            else out_units.sites[site] = SiteUnit{unit, next_alternative++, offset};
        }
        // A full atom is there wherever none of the others is.
        for (const auto& [site, offset] : full) {
            const double scale = (1.0 - taken) / site_occupancy(sites[site]);
            for (SpeciesOccupancy& entry : out_sites[site].species) entry.occupancy *= scale;
            out_units.sites[site] = SiteUnit{unit, next_alternative, offset};
        }
        changed = true;
    }
    if (!changed) return std::nullopt;
    renumber_units(out_units);
    return ResolvedOverlaps{std::move(out_sites), std::move(out_units)};
}

}  // namespace kestrel
