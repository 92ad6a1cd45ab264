#include "formats/cif/notices.hpp"

namespace kestrel {
namespace {

std::string plural(std::size_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// ' (C1, C2, ...)' with the kept labels; '...' when more were counted.
std::string label_list(const CifNotice& notice) {
    if (notice.labels.empty()) return {};
    std::string out = " (";
    for (std::size_t i = 0; i < notice.labels.size(); ++i) {
        if (i != 0) out += ", ";
        out += notice.labels[i];
    }
    if (notice.labelled > notice.labels.size()) out += ", ...";
    return out + ")";
}

}  // namespace

CifNotice& CifNotices::notice(CifNoticeKind kind) {
    for (CifNotice& existing : notices_)
        if (existing.kind == kind) return existing;
    return notices_.emplace_back(CifNotice{kind, 0, {}, 0, {}});
}

void CifNotices::add(CifNoticeKind kind, const std::string& label, std::size_t count) {
    CifNotice& entry = notice(kind);
    entry.count += count;
    if (label.empty()) return;
    ++entry.labelled;
    if (entry.labels.size() < kNoticeLabels) entry.labels.push_back(label);
}

void CifNotices::set_detail(CifNoticeKind kind, std::string detail) {
    notice(kind).detail = std::move(detail);
}

std::string notice_message(const CifNotice& notice) {
    const std::size_t n = notice.count;
    switch (notice.kind) {
        case CifNoticeKind::several_blocks:
            return "read data block '" + notice.detail + "', the first of " + std::to_string(n) +
                   " blocks with atom sites" + label_list(notice) + "; read_cif_blocks reads them all";
        case CifNoticeKind::operations_from_symbol:
            return "no symmetry operations in the file: took the " + plural(n, "operation", "operations") +
                   " of space group " + notice.detail;
        case CifNoticeKind::skipped_operations:
            return "skipped " + plural(n, "unreadable symmetry operation", "unreadable symmetry operations") +
                   label_list(notice);
        case CifNoticeKind::identity_added: return "the symmetry operations lack the identity x,y,z: added it";
        case CifNoticeKind::skipped_dummy_rows:
            return "skipped " + plural(n, "dummy atom row", "dummy atom rows") + label_list(notice);
        case CifNoticeKind::skipped_rows_without_coordinates:
            return "skipped " + plural(n, "atom-site row", "atom-site rows") + " without usable coordinates" +
                   label_list(notice);
        case CifNoticeKind::skipped_empty_rows:
            return "skipped " + plural(n, "atom-site row", "atom-site rows") + " with zero or negative occupancy" +
                   label_list(notice);
        case CifNoticeKind::scaled_occupancies:
            return "scaled down to 1 the occupancies of " + plural(n, "site", "sites") +
                   " that add up to more than 1 within the tolerance for rounding" + label_list(notice);
        case CifNoticeKind::element_from_label:
            return "chose the element of " + plural(n, "atom-site row", "atom-site rows") +
                   " whose label allows more than one reading" + label_list(notice);
        case CifNoticeKind::merged_near_images:
            return "merged " + plural(n, "symmetry image", "symmetry images") +
                   " lying within 0.1 angstrom of another image of the same atom" + label_list(notice);
        case CifNoticeKind::repeated_rows:
            return "counted " + plural(n, "row that repeats", "rows that repeat") +
                   " an atom already at the same place once" + label_list(notice);
        case CifNoticeKind::added_parts:
            return "added the occupancies of " + plural(n, "row", "rows") +
                   " to another row of the same element at the same place" + label_list(notice);
        case CifNoticeKind::rhombohedral_axes:
        case CifNoticeKind::cell_volume_differs:
        case CifNoticeKind::formula_differs: return notice.detail;
        case CifNoticeKind::latin1_text:
            return "read " + plural(n, "non-UTF-8 byte", "non-UTF-8 bytes") +
                   " in comments and text values as Latin-1" + label_list(notice);
        case CifNoticeKind::units_from_distance:
            return "took " + plural(n, "set", "sets") +
                   " of partly occupied positions closer than 0.7 angstrom, which cannot be occupied together, as "
                   "alternatives of one place" +
                   label_list(notice);
        case CifNoticeKind::overfull_split:
            return "left " + plural(n, "set", "sets") +
                   " of partly occupied positions closer than 0.7 angstrom independent: their occupancies add up to "
                   "more than 1" +
                   label_list(notice);
        case CifNoticeKind::partial_beside_full:
            return "the file is inconsistent: " + plural(n, "partly occupied atom lies", "partly occupied atoms lie") +
                   " closer than 0.7 angstrom to a fully occupied atom; each was taken as an alternative of that "
                   "atom, which keeps the occupancy the alternatives leave, so the two are never counted as a pair" +
                   label_list(notice);
        case CifNoticeKind::partial_beside_full_kept:
            return "the file is inconsistent: " + plural(n, "partly occupied atom lies", "partly occupied atoms lie") +
                   " closer than 0.7 angstrom to a fully occupied atom, and the occupancies there add up to 1 or "
                   "more; their pairs are counted as the file gives them" +
                   label_list(notice);
        case CifNoticeKind::overlapping_units:
            return "took " + plural(n, "pair", "pairs") +
                   " of atoms closer than 0.7 angstrom in different units of disorder as alternatives: their units "
                   "were merged into one" +
                   label_list(notice);
        case CifNoticeKind::overlapping_units_kept:
            return "left " + plural(n, "pair", "pairs") +
                   " of atoms closer than 0.7 angstrom in different units of disorder apart: their occupancies add "
                   "up to more than 1, or a unit meets its own copy; their pairs are counted as the file gives them" +
                   label_list(notice);
        case CifNoticeKind::split_search_skipped:
            return "did not look for split positions among " + std::to_string(n) +
                   " partly occupied sites: too many to compare pairwise";
        case CifNoticeKind::group_search_skipped:
            return "did not relate the " + std::to_string(n) +
                   " symmetry images of the disorder groups: too many; their sites are weighed independently";
        case CifNoticeKind::group_on_full_row:
            return "ignored the disorder group of " + plural(n, "fully occupied row", "fully occupied rows") +
                   label_list(notice);
        case CifNoticeKind::single_group_assembly:
            return plural(n, "disorder assembly has", "disorder assemblies have") +
                   " a single group: its atoms are taken to come and go together" + label_list(notice);
        case CifNoticeKind::uneven_group:
            return plural(n, "disorder group holds", "disorder groups hold") +
                   " rows of different occupancies: the group's pairs are weighed by the smaller" + label_list(notice);
        case CifNoticeKind::overfull_unit:
            return "the disorder groups of " + plural(n, "place add", "places add") +
                   " up to an occupancy above 1: their sites were left independent" + label_list(notice);
        case CifNoticeKind::shared_unit_sites:
            return plural(n, "site holds", "sites hold") +
                   " atoms of several disorder groups or places: left independent of the groups" + label_list(notice);
    }
    return "unknown notice";
}

}  // namespace kestrel
