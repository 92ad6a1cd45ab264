// Periodic neighbor search: a linked-cell grid over the unit cell, queried
// over every lattice image within the cutoff. This is not a minimum-image
// search, so the cutoff may be many times the cell: a narrow axis gets one
// grid cell and a reach of several cell widths.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "base/error.hpp"
#include "base/unit_interval.hpp"
#include "model/lattice.hpp"
#include "model/structure.hpp"

namespace kestrel {

// Every component wrapped into [0, 1) by wrap_unit: a component of exactly
// 1.0 would put the site one grid cell past the end.
inline Vec3 wrap_fractional(const Vec3& frac) {
    return {wrap_unit(frac[0]), wrap_unit(frac[1]), wrap_unit(frac[2])};
}
std::vector<Vec3> wrap_fractional(const std::vector<Site>& sites);

// Distances between opposite faces of the cell, along a, b and c: the
// widths that decide how many cutoffs fit across the cell.
Vec3 perpendicular_widths(const Lattice& lattice);

struct CellList {
    std::vector<std::int32_t> head;                      // first site of each grid cell's chain, -1 when empty
    std::vector<std::int32_t> next;                      // following site in the same cell, -1 at the chain's end
    std::uint64_t na = 1, nb = 1, nc = 1;                // grid cells along a, b, c
    std::int64_t reach_a = 1, reach_b = 1, reach_c = 1;  // grid cells searched on each side

    std::uint64_t cell_count() const { return na * nb * nc; }
    std::uint64_t linear_index(std::uint64_t ia, std::uint64_t ib, std::uint64_t ic) const {
        return ic + nc * (ib + nb * ia);
    }
};

// Grid coordinates of a wrapped fractional coordinate.
struct GridCoords {
    std::uint64_t ia, ib, ic;
};
// One axis of the grid as grid_index reads it: a pass over many sites
// works these out once (the compiler cannot, past the stores of the pass).
struct GridAxis {
    double cells;        // the cell count as a double
    std::uint64_t last;  // the index of the last cell
    explicit GridAxis(std::uint64_t count) : cells(static_cast<double>(count)), last(count - 1) {}
};
// The grid cell of u in [0, 1) along an axis; rounding never puts it past
// the last.
inline std::uint64_t grid_index(double u, const GridAxis& axis) {
    const double scaled = u * axis.cells;
    // A signed conversion: one instruction, where an unsigned one takes a
    // branch; scaled is at most the cell count, far below 2^63.
    const std::uint64_t index = scaled > 0.0 ? static_cast<std::uint64_t>(static_cast<std::int64_t>(scaled)) : 0;
    return index < axis.last ? index : axis.last;
}
inline std::uint64_t grid_index(double u, std::uint64_t cells) {
    return grid_index(u, GridAxis(cells));
}
inline GridCoords grid_coords(const CellList& grid, const Vec3& wrapped) {
    return {grid_index(wrapped[0], grid.na), grid_index(wrapped[1], grid.nb), grid_index(wrapped[2], grid.nc)};
}
// The inverse of CellList::linear_index.
inline GridCoords coords_of_cell(const CellList& grid, std::uint64_t cell) {
    const std::uint64_t row = cell / grid.nc;
    return {row / grid.nb, row % grid.nb, cell % grid.nc};
}
// From a cell to the next one in linear order (the last one's successor
// is past the grid): what coords_of_cell gives one index on, without
// its divisions.
inline void step_cell(const CellList& grid, GridCoords& at) {
    if (++at.ic < grid.nc) return;
    at.ic = 0;
    if (++at.ib < grid.nb) return;
    at.ib = 0;
    ++at.ia;
}

// The grid's shape (cells and reach along each axis) for this lattice and
// cutoff, with no sites in it: head and next are left empty. See
// `subdivisions`: with 1 a grid cell is at least one cutoff wide where the
// cell allows it; a finer grid (cells of cutoff / subdivisions, the count
// capped at 64 per subdivision) makes the reach longer but the searched
// volume smaller. It is capped at 16, which keeps the cell count below 2^32.
CellList grid_shape(const Lattice& lattice, double cutoff, unsigned subdivisions);

// Sites are indexed with 32 bits in the search: fails above
// kMaxSupercellSites sites, with the message every search gives.
Result<Ok> check_search_size(std::size_t n_sites);

// One grid-cell offset of a query, resolved against the periodic grid: the
// wrapped target cell and how many whole cells the wrap moved along each
// axis (the lattice translation of the images found there).
struct ResolvedOffset {
    std::uint64_t cell;
    std::int64_t sa, sb, sc;
};

// One division rather than a step per wrap: with a single grid cell along an
// axis and a long reach, stepping would cost reach^2 per axis and centre.
inline void wrap_axis(std::int64_t index, std::uint64_t count, std::uint64_t& wrapped, std::int64_t& shift) {
    const auto n = static_cast<std::int64_t>(count);
    if (index >= 0 && index < n) {  // most offsets land inside the grid: no division
        wrapped = static_cast<std::uint64_t>(index);
        shift = 0;
        return;
    }
    std::int64_t quotient = index / n, remainder = index % n;
    if (remainder < 0) remainder += n, --quotient;
    shift = quotient;
    wrapped = static_cast<std::uint64_t>(remainder);
}

inline ResolvedOffset resolve_offset(const CellList& grid, const GridCoords& at, std::int64_t da, std::int64_t db,
                                     std::int64_t dc) {
    ResolvedOffset out{};
    std::uint64_t a, b, c;
    wrap_axis(static_cast<std::int64_t>(at.ia) + da, grid.na, a, out.sa);
    wrap_axis(static_cast<std::int64_t>(at.ib) + db, grid.nb, b, out.sb);
    wrap_axis(static_cast<std::int64_t>(at.ic) + dc, grid.nc, c, out.sc);
    out.cell = grid.linear_index(a, b, c);
    return out;
}

}  // namespace kestrel
