#include "formats/cif/reader.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/ascii.hpp"
#include "base/text.hpp"
#include "base/unit_interval.hpp"
#include "formats/cif/cell.hpp"
#include "formats/cif/cell_fit.hpp"
#include "formats/cif/disorder.hpp"
#include "formats/cif/elements.hpp"
#include "formats/cif/formula_check.hpp"
#include "formats/cif/measured.hpp"
#include "formats/cif/merge.hpp"
#include "formats/cif/occupancy_sum.hpp"
#include "formats/cif/operations.hpp"
#include "formats/cif/scanner.hpp"
#include "symmetry/operation.hpp"

namespace kestrel {
namespace {

struct AsymmetricAtom {
    std::string label;  // as the notices name the row
    std::string element;
    double occupancy;
    Vec3 position;
    std::uint32_t loop_row;  // in the atom-site loop
};

std::optional<double> tag_number(const CifBlock& block, const std::string& name) {
    const std::string_view* value = block.tag(name);
    if (value == nullptr) return std::nullopt;
    return cif_number(*value);
}

Result<Lattice> read_cell(const CifBlock& block) {
    double lengths[3];
    const char* names[3] = {"_cell_length_a", "_cell_length_b", "_cell_length_c"};
    for (int i = 0; i < 3; ++i) {
        std::optional<double> length = tag_number(block, names[i]);
        if (!length) return fail(std::string("missing ") + names[i]);
        lengths[i] = *length;
    }
    return lattice_from_parameters(lengths[0], lengths[1], lengths[2], tag_number(block, "_cell_angle_alpha"),
                                   tag_number(block, "_cell_angle_beta"), tag_number(block, "_cell_angle_gamma"));
}

// A coordinate that is absent, unreadable or not finite makes the row unusable.
std::optional<double> coordinate(const CifLoop& loop, std::size_t row, std::size_t column) {
    std::optional<double> value = cif_number(loop.at(row, column));
    if (value && !std::isfinite(*value)) return std::nullopt;
    return value;
}

bool is_dummy_flag(std::string_view flag) {
    return equals_ignoring_case(trim(flag), "dum");
}

class AtomSiteColumns {
public:
    static Result<AtomSiteColumns> find(const CifBlock& block) {
        const CifLoop* loop = block.loop_with("_atom_site_fract_x");
        if (loop == nullptr) return fail("no _atom_site loop with fractional coordinates found");
        AtomSiteColumns columns;
        columns.loop = loop;
        columns.x = *loop->column("_atom_site_fract_x");
        const std::optional<std::size_t> y = loop->column("_atom_site_fract_y");
        if (!y) return fail("missing _atom_site_fract_y");
        const std::optional<std::size_t> z = loop->column("_atom_site_fract_z");
        if (!z) return fail("missing _atom_site_fract_z");
        columns.y = *y;
        columns.z = *z;
        columns.occupancy = loop->column("_atom_site_occupancy");
        columns.symbol = loop->column("_atom_site_type_symbol");
        columns.label = loop->column("_atom_site_label");
        columns.calc_flag = loop->column("_atom_site_calc_flag");
        return columns;
    }

    // The label, else the type symbol, else the row's number from 1.
    std::string row_name(std::size_t row) const {
        if (label && !cif_value_missing(loop->at(row, *label))) return std::string(trim(loop->at(row, *label)));
        if (symbol && !cif_value_missing(loop->at(row, *symbol))) return std::string(trim(loop->at(row, *symbol)));
        return "row " + std::to_string(row + 1);
    }

    const CifLoop* loop = nullptr;
    std::size_t x = 0, y = 0, z = 0;
    std::optional<std::size_t> occupancy, symbol, label, calc_flag;
};

// 'OW1 -> O as water', 'CA1 -> C by the formula, not Ca', 'NI2 -> Ni, not N'.
std::string label_choice(std::string_view label, const LabelElement& read) {
    std::string text = std::string(label) + " -> " + read.element;
    switch (read.reading) {
        case LabelReading::water: return text + " as water";
        case LabelReading::formula: return text + " by the formula, not " + read.other;
        case LabelReading::undecided: return text + ", not " + read.other;
        case LabelReading::plain: break;
    }
    return text;
}

std::optional<std::string> row_element(const AtomSiteColumns& columns, std::size_t row,
                                       const std::set<std::string>& formula, CifNotices& notices) {
    if (columns.symbol)
        if (auto element = element_from_type_symbol(columns.loop->at(row, *columns.symbol))) return element;
    if (!columns.label) return std::nullopt;
    const std::string_view label = trim(columns.loop->at(row, *columns.label));
    std::optional<LabelElement> read = element_from_label(label, formula);
    if (!read) return std::nullopt;
    if (read->reading != LabelReading::plain)
        notices.add(CifNoticeKind::element_from_label, label_choice(label, *read));
    return std::move(read->element);
}

Result<std::vector<AsymmetricAtom>> read_atoms(const CifBlock& block, CifNotices& notices) {
    Result<AtomSiteColumns> found = AtomSiteColumns::find(block);
    if (!found) return found.take_error();
    const AtomSiteColumns& columns = *found;
    const CifLoop& loop = *columns.loop;
    const std::string_view* formula_text = block.tag("_chemical_formula_sum");
    const std::set<std::string> formula = formula_text ? formula_elements(*formula_text) : std::set<std::string>{};

    std::vector<AsymmetricAtom> atoms;
    atoms.reserve(loop.n_rows());
    for (std::size_t row = 0; row < loop.n_rows(); ++row) {
        // Dummy atoms (ring centroids, riding-model placeholders) are no atoms.
        if (columns.calc_flag && is_dummy_flag(loop.at(row, *columns.calc_flag))) {
            notices.add(CifNoticeKind::skipped_dummy_rows, columns.row_name(row));
            continue;
        }
        const std::optional<double> px = coordinate(loop, row, columns.x), py = coordinate(loop, row, columns.y),
                                    pz = coordinate(loop, row, columns.z);
        if (!px || !py || !pz) {
            notices.add(CifNoticeKind::skipped_rows_without_coordinates, columns.row_name(row));
            continue;
        }
        std::optional<std::string> element = row_element(columns, row, formula, notices);
        if (!element) return fail("could not determine the element of an atom site");
        double occupancy = 1.0;
        if (columns.occupancy) occupancy = cif_number(loop.at(row, *columns.occupancy)).value_or(1.0);
        if (occupancy <= 0.0) {
            notices.add(CifNoticeKind::skipped_empty_rows, columns.row_name(row));
            continue;
        }
        atoms.push_back(
            {columns.row_name(row), std::move(*element), occupancy, {*px, *py, *pz}, static_cast<std::uint32_t>(row)});
    }
    return atoms;
}

std::vector<Vec3> images_of(const AsymmetricAtom& atom, const std::vector<SymmetryOperation>& operations) {
    std::vector<Vec3> images;
    images.reserve(operations.size());
    for (const SymmetryOperation& operation : operations) {
        const Vec3 image = operation.apply(atom.position);
        const Vec3 wrapped{wrap_unit(image[0]), wrap_unit(image[1]), wrap_unit(image[2])};
        // Operations with huge coefficients can overflow to non-finite positions.
        if (!std::isfinite(wrapped[0]) || !std::isfinite(wrapped[1]) || !std::isfinite(wrapped[2])) continue;
        images.push_back(wrapped);
    }
    return images;
}

// The labels of the rows merged into a site, in row order.
std::vector<std::string> row_labels(const std::vector<AsymmetricAtom>& atoms, const std::vector<CifSiteRow>& rows) {
    std::vector<std::string> labels;
    for (const CifSiteRow& row : rows) {
        // Atoms are in loop-row order, each row at most once.
        auto atom = std::lower_bound(atoms.begin(), atoms.end(), row.row,
                                     [](const AsymmetricAtom& a, std::uint32_t r) { return a.loop_row < r; });
        labels.push_back(atom != atoms.end() && atom->loop_row == row.row ? atom->label : "row " + std::to_string(row.row + 1));
    }
    return labels;
}

Result<Structure> expand_and_merge(Lattice lattice, const std::vector<AsymmetricAtom>& atoms,
                                   const std::vector<SymmetryOperation>& operations, const CifReadOptions& options,
                                   CifNotices& notices, std::vector<std::vector<CifSiteRow>>& site_rows) {
    const double symprec = options.symprec;
    const std::uint64_t positions = static_cast<std::uint64_t>(atoms.size()) * operations.size();
    if (positions > kMaxCifPositions)
        return fail_limit("CIF expands to " + std::to_string(positions) + " positions (" +
                          std::to_string(atoms.size()) + " atom sites times " + std::to_string(operations.size()) +
                          " symmetry operations), more than the " + std::to_string(kMaxCifPositions) +
                          " this reader accepts");
    SiteMerger merger(symprec, static_cast<std::size_t>(positions));
    std::size_t made = 0;
    for (std::uint32_t row = 0; row < atoms.size(); ++row) {
        const AsymmetricAtom& atom = atoms[row];
        std::vector<Vec3> images = images_of(atom, operations);
        const std::size_t merged = collapse_near_images(images, atom.occupancy, lattice, symprec);
        if (merged != 0) notices.add(CifNoticeKind::merged_near_images, atom.label, merged);
        for (const Vec3& image : images) {
            const std::size_t site = merger.add(atom.element, atom.occupancy, image, row);
            if (site == site_rows.size()) site_rows.emplace_back();
            std::vector<CifSiteRow>& rows = site_rows[site];
            if (rows.empty() || rows.back().row != atom.loop_row) rows.push_back({atom.loop_row, atom.element});
        }
        made += images.size();
    }
    if (made == 0) return fail("CIF contains no usable atom sites");
    for (std::uint32_t row : merger.repeated_rows()) notices.add(CifNoticeKind::repeated_rows, atoms[row].label);
    for (std::uint32_t row : merger.added_rows()) notices.add(CifNoticeKind::added_parts, atoms[row].label);
    std::vector<Site> sites = merger.take_sites();
    Result<Ok> settled = settle_site_occupancies(
        sites, options.occupancy_tolerance, [&](std::size_t site) { return row_labels(atoms, site_rows[site]); },
        notices);
    if (!settled) return settled.take_error();
    return make_structure(std::move(lattice), std::move(sites));
}

// The units of correlated disorder the rows' group codes and positions give.
Result<Structure> with_disorder_units(const CifBlock& block, const std::vector<AsymmetricAtom>& atoms,
                                      const std::vector<SymmetryOperation>& operations, Structure structure,
                                      const std::vector<std::vector<CifSiteRow>>& site_rows, CifNotices& notices) {
    std::vector<CifDisorderRow> rows;
    rows.reserve(atoms.size());
    for (const AsymmetricAtom& atom : atoms) rows.push_back({atom.loop_row, atom.label, atom.occupancy, atom.position});
    CifRowsOfSites loop_rows;
    std::vector<std::uint32_t> of_site;
    for (const std::vector<CifSiteRow>& merged : site_rows) {
        of_site.clear();
        for (const CifSiteRow& row : merged) of_site.push_back(row.row);
        loop_rows.add_site(of_site);
    }
    return add_cif_units(block, rows, operations, std::move(structure), loop_rows, notices);
}

}  // namespace

Result<CifReading> read_cif_block(const CifBlock& block, const CifReadOptions& options) {
    CifNotices notices;
    Result<Ok> numbers = check_measured_values(block);
    if (!numbers) return numbers.take_error();
    Result<Lattice> lattice = read_cell(block);
    if (!lattice) return lattice.take_error();
    check_cell_volume(block, *lattice, notices);
    Result<BlockOperations> listed = read_block_operations(block, notices);
    if (!listed) return listed.take_error();
    Result<std::vector<SymmetryOperation>> operations = operations_fitting_cell(std::move(*listed), *lattice, notices);
    if (!operations) return operations.take_error();
    Result<std::vector<AsymmetricAtom>> atoms = read_atoms(block, notices);
    if (!atoms) return atoms.take_error();
    if (atoms->empty()) return fail("CIF contains no usable atom sites");
    std::vector<std::vector<CifSiteRow>> site_rows;
    Result<Structure> structure =
        expand_and_merge(std::move(*lattice), *atoms, *operations, options, notices, site_rows);
    if (!structure) return structure.take_error();
    check_formula(block, *structure, notices);
    structure = with_disorder_units(block, *atoms, *operations, std::move(*structure), site_rows, notices);
    if (!structure) return structure.take_error();
    return CifReading{block.name, std::move(*structure), notices.take(), std::move(site_rows)};
}

bool cif_block_has_atom_sites(const CifBlock& block) {
    return block.loop_with("_atom_site_fract_x") != nullptr;
}

namespace {

bool has_cell(const CifBlock& block) {
    return block.tag("_cell_length_a") != nullptr;
}

}  // namespace

// The block from_cif reads, or the one whose failure best explains why no
// block can be read.
const CifBlock& cif_block_to_read(const CifDocument& document) {
    static const CifBlock empty;
    for (const CifBlock& block : document.blocks)
        if (cif_block_has_atom_sites(block) && has_cell(block)) return block;
    for (const CifBlock& block : document.blocks)
        if (cif_block_has_atom_sites(block)) return block;
    for (const CifBlock& block : document.blocks)
        if (has_cell(block)) return block;
    return document.blocks.empty() ? empty : document.blocks.front();
}

Result<CifReading> read_cif_first_block(std::string_view text, const CifReadOptions& options) {
    Result<CifDocument> scanned = scan_cif(text);
    if (!scanned) return scanned.take_error();
    const CifDocument& document = *scanned;
    const CifBlock& chosen = cif_block_to_read(document);
    // A text with neither a cell nor atom sites anywhere is some other kind
    // of file; "missing _cell_length_a" would send its reader looking for a
    // typo.
    if (!cif_block_has_atom_sites(chosen) && !has_cell(chosen)) return fail(kNotACifMessage);
    Result<CifReading> reading = read_cif_block(chosen, options);
    if (!reading) return reading;
    std::vector<std::string> candidates;
    for (const CifBlock& block : document.blocks)
        if (cif_block_has_atom_sites(block) && has_cell(block)) candidates.push_back(block.name);
    if (candidates.size() > 1) {
        CifNotices notices;
        for (const std::string& name : candidates) notices.add(CifNoticeKind::several_blocks, name);
        notices.set_detail(CifNoticeKind::several_blocks, chosen.name);
        std::vector<CifNotice> first = notices.take();
        reading->notices.insert(reading->notices.begin(), first.begin(), first.end());
    }
    return reading;
}

Result<std::vector<CifReading>> read_cif_blocks(std::string_view text, const CifReadOptions& options) {
    Result<CifDocument> document = scan_cif(text);
    if (!document) return document.take_error();
    std::vector<CifReading> readings;
    for (const CifBlock& block : document->blocks) {
        if (!cif_block_has_atom_sites(block)) continue;
        Result<CifReading> reading = read_cif_block(block, options);
        if (!reading) return prefixed(reading.take_error(), "data block '" + block.name + "': ");
        readings.push_back(std::move(*reading));
    }
    return readings;
}

Result<Structure> read_cif(std::string_view text, const CifReadOptions& options) {
    Result<CifReading> reading = read_cif_first_block(text, options);
    if (!reading) return reading.take_error();
    return std::move(reading->structure);
}

}  // namespace kestrel
