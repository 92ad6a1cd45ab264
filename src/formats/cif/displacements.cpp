#include "formats/cif/displacements.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <unordered_map>

#include "base/text.hpp"
#include "formats/cif/blocks.hpp"
#include "formats/cif/reader.hpp"
#include "formats/cif/scanner.hpp"

namespace kestrel {
namespace {

// B = 8π² U.
constexpr double kBToU = 1.0 / (8.0 * std::numbers::pi * std::numbers::pi);

// Only a finite, positive number is a displacement: files of computed
// structures write 0 for "not refined", and a peak of zero width has no shape.
std::optional<double> displacement(std::string_view value) {
    std::optional<double> number = cif_number(value);
    if (!number || !std::isfinite(*number) || !(*number > 0.0)) return std::nullopt;
    return number;
}

std::optional<double> column_value(const CifLoop& loop, std::size_t row, std::string_view tag) {
    const std::optional<std::size_t> column = loop.column(tag);
    if (!column) return std::nullopt;
    return displacement(loop.at(row, *column));
}

// A third of the trace of the diagonal columns named prefix + "11", "22", "33".
std::optional<double> trace_over_three(const CifLoop& loop, std::size_t row, const std::string& prefix) {
    double sum = 0.0;
    for (const char* index : {"11", "22", "33"}) {
        const std::optional<double> value = column_value(loop, row, prefix + index);
        if (!value) return std::nullopt;
        sum += *value;
    }
    return sum / 3.0;
}

// The isotropic U of every label of the anisotropic loop that gives one.
std::unordered_map<std::string, double> anisotropic_u_by_label(const CifBlock& block) {
    std::unordered_map<std::string, double> by_label;
    const CifLoop* loop = block.loop_with("_atom_site_aniso_label");
    if (loop == nullptr) return by_label;
    const std::size_t label = *loop->column("_atom_site_aniso_label");
    for (std::size_t row = 0; row < loop->n_rows(); ++row) {
        std::optional<double> u = trace_over_three(*loop, row, "_atom_site_aniso_u_");
        if (!u) {
            const std::optional<double> b = trace_over_three(*loop, row, "_atom_site_aniso_b_");
            if (b) u = *b * kBToU;
        }
        if (u) by_label.emplace(std::string(trim(loop->at(row, label))), *u);
    }
    return by_label;
}

std::optional<double> row_u(const CifLoop& atoms, std::size_t row,
                            const std::unordered_map<std::string, double>& anisotropic) {
    if (std::optional<double> u = column_value(atoms, row, "_atom_site_u_iso_or_equiv")) return u;
    if (std::optional<double> b = column_value(atoms, row, "_atom_site_b_iso_or_equiv")) return *b * kBToU;
    const std::optional<std::size_t> label = atoms.column("_atom_site_label");
    if (!label) return std::nullopt;
    const auto found = anisotropic.find(std::string(trim(atoms.at(row, *label))));
    if (found == anisotropic.end()) return std::nullopt;
    return found->second;
}

double row_occupancy(const CifLoop& atoms, std::size_t row) {
    const std::optional<std::size_t> column = atoms.column("_atom_site_occupancy");
    if (!column) return 1.0;
    return cif_number(atoms.at(row, *column)).value_or(1.0);
}

// Per element of one site, in order of first appearance: the
// occupancy-weighted mean U of its rows that give one.
std::vector<CifElementU> site_u(const std::vector<CifSiteRow>& rows, const CifLoop& atoms,
                                const std::unordered_map<std::string, double>& anisotropic) {
    std::vector<CifElementU> elements;
    std::vector<double> weighted, weight;
    for (const CifSiteRow& row : rows) {
        std::size_t e = 0;
        while (e < elements.size() && elements[e].element != row.element) ++e;
        if (e == elements.size()) {
            elements.push_back({row.element, std::nullopt});
            weighted.push_back(0.0);
            weight.push_back(0.0);
        }
        const std::optional<double> u = row_u(atoms, row.row, anisotropic);
        if (!u) continue;
        const double occupancy = row_occupancy(atoms, row.row);
        weighted[e] += occupancy * *u;
        weight[e] += occupancy;
    }
    for (std::size_t e = 0; e < elements.size(); ++e)
        if (weight[e] > 0.0) elements[e].u = weighted[e] / weight[e];
    return elements;
}

}  // namespace

Result<std::vector<std::vector<CifElementU>>> read_cif_site_u_iso(std::string_view text, double symprec,
                                                                  std::optional<std::string_view> block_name) {
    Result<CifDocument> document = scan_cif(text);
    if (!document) return document.take_error();
    const CifBlock* named = block_name ? find_cif_block(*document, *block_name) : nullptr;
    if (block_name && named == nullptr) return read_named_cif_block(text, *block_name, symprec).take_error();
    const CifBlock& block = named != nullptr ? *named : cif_block_to_read(*document);
    // Only which rows make each site matters here, not how full the sites
    // are: the structure itself was read with the caller's tolerance.
    Result<CifReading> reading =
        read_cif_block(block, CifReadOptions(symprec, std::numeric_limits<double>::infinity()));
    if (!reading) return reading.take_error();
    // The reading succeeded, so the block has the atom-site loop.
    const CifLoop& atoms = *block.loop_with("_atom_site_fract_x");
    const std::unordered_map<std::string, double> anisotropic = anisotropic_u_by_label(block);

    std::vector<std::vector<CifElementU>> sites;
    sites.reserve(reading->site_rows.size());
    for (const std::vector<CifSiteRow>& rows : reading->site_rows) sites.push_back(site_u(rows, atoms, anisotropic));
    return sites;
}

}  // namespace kestrel
