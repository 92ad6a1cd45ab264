// What the CIF reader decided on its own while reading a file: skipped rows,
// merged rows or images, elements taken from labels, operations taken from a
// symbol, one block picked of several. The reader returns these beside the
// structure so the caller can tell the user; nothing is decided silently.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kestrel {

enum class CifNoticeKind {
    several_blocks,          // detail: the block read; labels: the blocks with atoms
    operations_from_symbol,  // detail: the symbol as written; count: operations
    skipped_operations,      // labels: the operations as written
    identity_added,
    skipped_dummy_rows,
    skipped_rows_without_coordinates,
    skipped_empty_rows,   // occupancy zero or below
    scaled_occupancies,   // labels: "rows: sum" of sites just above 1, scaled to 1
    element_from_label,   // labels: "label -> element, why" where the label allowed other readings
    merged_near_images,   // count: images merged away; labels: their rows
    repeated_rows,        // rows listing an atom already there, counted once
    added_parts,          // rows of one element at one place, occupancies added
    rhombohedral_axes,    // detail: the whole sentence
    cell_volume_differs,  // detail: the whole sentence
    formula_differs,      // detail: the whole sentence
    latin1_text,          // count: bytes; labels: "line N"
    // Units of correlated disorder (the groups a file states are no notice).
    units_from_distance,       // labels: the sites of each unit found
    overfull_split,            // labels: close sites whose occupancies add above 1
    partial_beside_full,       // labels: 'O5 0.53 from O1', a partly occupied atom too close to a full one
    partial_beside_full_kept,  // the same, where the two could not be made alternatives
    overlapping_units,         // labels: 'H5 0.23 from C7', atoms of two units too close, merged
    overlapping_units_kept,    // the same, left apart
    split_search_skipped,      // count: partly occupied sites, too many to scan
    group_search_skipped,      // count: images of disorder groups, too many to relate
    group_on_full_row,         // labels: rows
    single_group_assembly,     // labels: the assembly and its group
    uneven_group,              // labels: the group and a row that differs
    overfull_unit,             // labels: units whose alternatives add above 1
    shared_unit_sites,         // labels: sites holding atoms of several places
};

struct CifNotice {
    CifNoticeKind kind;
    std::size_t count = 0;
    std::vector<std::string> labels;  // the first few only
    std::size_t labelled = 0;         // how many labels were given, kept or not
    std::string detail;
};

// How many labels a notice keeps: enough to find the rows in the file.
inline constexpr std::size_t kNoticeLabels = 5;

// Gathers one notice per kind, counting every occurrence and keeping the
// first few labels.
class CifNotices {
public:
    void add(CifNoticeKind kind, const std::string& label = {}, std::size_t count = 1);
    void set_detail(CifNoticeKind kind, std::string detail);
    std::vector<CifNotice> take() { return std::move(notices_); }

private:
    CifNotice& notice(CifNoticeKind kind);
    std::vector<CifNotice> notices_;
};

// The sentence the user sees, lower case without a full stop.
std::string notice_message(const CifNotice& notice);

}  // namespace kestrel
