// Shared by the fuzz targets: what is done with a structure a reader accepted,
// so the derived quantities and a small RDF see the odd cells and
// coordinates the fuzzer makes up, not just the readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/fixed4.hpp"
#include "base/utf8.hpp"
#include "model/structure.hpp"
#include "neighbor/cell_list.hpp"
#include "neighbor/pair_sweep.hpp"
#include "neighbor/reduced_cell.hpp"
#include "neighbor/shells.hpp"
#include "rdf/rdf.hpp"

namespace kestrel::fuzz {

// The readers are only ever handed valid UTF-8 (files are checked when read,
// Python strings are UTF-8 by construction).
inline bool usable_text(const std::uint8_t* data, std::size_t size, std::string_view& text) {
    text = std::string_view(reinterpret_cast<const char*>(data), size);
    return is_valid_utf8(text);
}

inline void exercise(const Structure& structure) {
    volatile double sink = n_atoms(structure) + volume(structure);
    for (const auto& [element, amount] : composition(structure))
        sink = sink + format_fixed4(amount).size() + element.size();
    for (const Vec3& cart : cart_coords(structure)) sink = sink + cart[0];
    (void)is_ordered(structure);
    // A short cutoff keeps each run fast. Cells the fuzzer squeezes thin
    // still reach far (a 0.1 A^3 cell needs seconds, a cell millions of
    // times thinner than the cutoff holds millions of image stretches per
    // site); those only get the search's estimates, made on the grid and
    // stencil compute_rdf builds, and the RDF runs where it is cheap.
    if (structure.n_sites() <= 64) {
        constexpr double kCutoff = 3.0;
        const std::optional<ReducedCell> reduced = reduce_for_search(structure.lattice(), structure.sites());
        const Lattice& lattice = reduced ? reduced->lattice : structure.lattice();
        const double reach = search_reach(kCutoff);
        const auto n = static_cast<double>(structure.n_sites());
        const CellList grid = grid_shape(lattice, reach, grid_subdivisions(n / volume(structure), kCutoff));
        const bool few_rows = estimated_search_work(grid, structure.n_sites()) < 1e8;
        if (few_rows) {
            const HalfStencil stencil(grid, lattice, reach);
            const double work = estimated_search_work(stencil, grid, structure.n_sites()) +
                                n * stencil.segments_per_centre();
            if (work < 1e6) {
                auto rdf = compute_rdf(structure, kCutoff, 0.5);
                if (rdf.ok()) sink = sink + rdf->total[0];
            }
        }
    }
}

}  // namespace kestrel::fuzz
