#include "formats/cif/reader.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "formats/cif/cell.hpp"
#include "formats/cif/merge.hpp"
#include "formats/cif/scanner.hpp"
#include "base/text.hpp"
#include "symmetry/operation.hpp"

namespace kestrel {
namespace {

struct AsymmetricAtom {
    std::string element;
    double occupancy;
    Vec3 position;
};

std::optional<double> tag_number(const CifDocument& document, const std::string& name) {
    const std::string_view* value = document.tag(name);
    if (value == nullptr) return std::nullopt;
    return cif_number(*value);
}

Result<Lattice> read_cell(const CifDocument& document) {
    double lengths[3];
    const char* names[3] = {"_cell_length_a", "_cell_length_b", "_cell_length_c"};
    for (int i = 0; i < 3; ++i) {
        std::optional<double> length = tag_number(document, names[i]);
        if (!length) return fail(std::string("missing ") + names[i]);
        lengths[i] = *length;
    }
    return lattice_from_parameters(lengths[0], lengths[1], lengths[2], tag_number(document, "_cell_angle_alpha"),
                                   tag_number(document, "_cell_angle_beta"),
                                   tag_number(document, "_cell_angle_gamma"));
}

bool is_symmetry_column(std::string_view tag) {
    return tag == "_symmetry_equiv_pos_as_xyz" || tag == "_space_group_symop_operation_xyz";
}

std::vector<SymmetryOperation> read_operations(const CifDocument& document) {
    std::vector<SymmetryOperation> operations;
    for (const CifLoop& loop : document.loops) {
        std::optional<std::size_t> column;
        for (std::size_t k = 0; k < loop.tags.size() && !column; ++k)
            if (is_symmetry_column(loop.tags[k])) column = k;
        if (!column) continue;
        for (std::size_t row = 0; row < loop.n_rows(); ++row) {
            const std::string_view value = trim(loop.at(row, *column));
            if (value.empty()) continue;
            Result<SymmetryOperation> operation = parse_symmetry_operation(value);
            if (!operation) {
                // A label may precede the operation: 'op1 x,y,z'.
                const std::size_t space = value.find(' ');
                if (space == std::string_view::npos) continue;
                operation = parse_symmetry_operation(value.substr(space + 1));
                if (!operation) continue;
            }
            operations.push_back(*operation);
        }
        break;
    }
    if (operations.empty()) operations.push_back(identity_operation());
    return operations;
}

// A coordinate that is absent, unreadable or not finite makes the row unusable.
std::optional<double> coordinate(const CifLoop& loop, std::size_t row, std::size_t column) {
    std::optional<double> value = cif_number(loop.at(row, column));
    if (value && !std::isfinite(*value)) return std::nullopt;
    return value;
}

Result<std::vector<AsymmetricAtom>> read_atoms(const CifDocument& document) {
    const CifLoop* sites = nullptr;
    for (const CifLoop& loop : document.loops) {
        if (loop.column("_atom_site_fract_x")) {
            sites = &loop;
            break;
        }
    }
    if (sites == nullptr) return fail("no _atom_site loop with fractional coordinates found");
    const std::size_t x = *sites->column("_atom_site_fract_x");
    const std::optional<std::size_t> y = sites->column("_atom_site_fract_y");
    if (!y) return fail("missing _atom_site_fract_y");
    const std::optional<std::size_t> z = sites->column("_atom_site_fract_z");
    if (!z) return fail("missing _atom_site_fract_z");
    const std::optional<std::size_t> occupancy_column = sites->column("_atom_site_occupancy");
    const std::optional<std::size_t> symbol_column = sites->column("_atom_site_type_symbol");
    const std::optional<std::size_t> label_column = sites->column("_atom_site_label");

    std::vector<AsymmetricAtom> atoms;
    atoms.reserve(sites->n_rows());
    for (std::size_t row = 0; row < sites->n_rows(); ++row) {
        const std::optional<double> px = coordinate(*sites, row, x), py = coordinate(*sites, row, *y),
                                    pz = coordinate(*sites, row, *z);
        if (!px || !py || !pz) continue;
        std::optional<std::string> element;
        if (symbol_column) element = cif_element(sites->at(row, *symbol_column));
        if (!element && label_column) element = cif_element(sites->at(row, *label_column));
        if (!element) return fail("could not determine the element of an atom site");
        double occupancy = 1.0;
        if (occupancy_column) occupancy = cif_number(sites->at(row, *occupancy_column)).value_or(1.0);
        if (occupancy <= 0.0) continue;
        atoms.push_back({std::move(*element), occupancy, {*px, *py, *pz}});
    }
    return atoms;
}

// Into [0, 1): p - floor(p) rounds up to exactly 1 for tiny negative p.
double wrap_unit(double v) {
    const double wrapped = v - std::floor(v);
    return wrapped >= 1.0 ? 0.0 : wrapped;
}

}  // namespace

Result<Structure> read_cif(std::string_view text, double symprec) {
    const CifDocument document = scan_cif(text);
    Result<Lattice> lattice = read_cell(document);
    if (!lattice) return lattice.take_error();
    const std::vector<SymmetryOperation> operations = read_operations(document);
    Result<std::vector<AsymmetricAtom>> atoms = read_atoms(document);
    if (!atoms) return atoms.take_error();
    if (atoms->empty()) return fail("CIF contains no usable atom sites");
    const std::uint64_t positions = static_cast<std::uint64_t>(atoms->size()) * operations.size();
    if (positions > kMaxCifPositions)
        return fail("CIF expands to " + std::to_string(positions) + " positions (" + std::to_string(atoms->size()) +
                    " atom sites times " + std::to_string(operations.size()) +
                    " symmetry operations), more than the " + std::to_string(kMaxCifPositions) +
                    " this reader accepts");

    SiteMerger merger(symprec, static_cast<std::size_t>(positions));
    std::size_t made = 0;
    for (std::uint32_t row = 0; row < atoms->size(); ++row) {
        const AsymmetricAtom& atom = (*atoms)[row];
        for (const SymmetryOperation& operation : operations) {
            const Vec3 image = operation.apply(atom.position);
            const Vec3 wrapped{wrap_unit(image[0]), wrap_unit(image[1]), wrap_unit(image[2])};
            // Operations with huge coefficients can overflow to non-finite positions.
            if (!std::isfinite(wrapped[0]) || !std::isfinite(wrapped[1]) || !std::isfinite(wrapped[2])) continue;
            merger.add(atom.element, atom.occupancy, wrapped, row);
            ++made;
        }
    }
    if (made == 0) return fail("CIF contains no usable atom sites");
    return make_structure(std::move(*lattice), merger.take_sites());
}

}  // namespace kestrel
