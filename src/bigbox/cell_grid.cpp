#include "bigbox/cell_grid.hpp"

#include <algorithm>
#include <limits>

namespace kestrel::bigbox {
namespace {

// Cells about a quarter of the reach wide: the stencil then hugs the sphere
// of the reach (few atoms visited beyond it) while a cell still holds a
// handful of atoms, so the per-cell cost does not dominate.
constexpr double kCellsPerReach = 4.0;
// No more cells than this per atom: a sparse model would spend its time on empty cells.
constexpr double kMaxCellsPerAtom = 2.0;

// The height of the cell along each axis: the distance between the two
// faces that axis crosses.
Vec3 heights(const Mat3& m) {
    const auto cross = [](const Vec3& u, const Vec3& v) {
        return Vec3{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    };
    const double volume = std::fabs(determinant(m));
    return {volume / std::sqrt(norm2(cross(m[1], m[2]))), volume / std::sqrt(norm2(cross(m[2], m[0]))),
            volume / std::sqrt(norm2(cross(m[0], m[1])))};
}

// The smallest distance between a point of the home cell and a point of the
// cell `offset` away: min over t in [-1, 1]^3 of |(offset + t) C|, C the
// cell's edge vectors. A convex quadratic over a box; coordinate descent
// with exact line minimisation converges to it.
double cell_gap(const Mat3& edges, const std::array<int, 3>& offset) {
    Mat3 gram{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            gram[i][j] = edges[i][0] * edges[j][0] + edges[i][1] * edges[j][1] + edges[i][2] * edges[j][2];
    Vec3 x{static_cast<double>(offset[0]), static_cast<double>(offset[1]), static_cast<double>(offset[2])};
    const Vec3 centre = x;
    for (int sweep = 0; sweep < 200; ++sweep)
        for (int i = 0; i < 3; ++i) {
            // Minimise over x_i with the others fixed: x_i = -(sum_{j != i} G_ij x_j) / G_ii.
            double rest = 0.0;
            for (int j = 0; j < 3; ++j)
                if (j != i) rest += gram[i][j] * x[j];
            x[i] = std::clamp(-rest / gram[i][i], centre[i] - 1.0, centre[i] + 1.0);
        }
    double q = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) q += x[i] * gram[i][j] * x[j];
    return std::sqrt(std::max(q, 0.0));
}

}  // namespace

Result<CellGrid> CellGrid::make(const Lattice& lattice, double reach, std::size_t n_atoms) {
    if (!(reach > 0.0) || !std::isfinite(reach)) return fail("the reach of the cell grid must be positive");
    if (n_atoms >= std::numeric_limits<std::uint32_t>::max()) return fail_limit("too many atoms for one model");
    CellGrid grid;
    grid.matrix_ = lattice.matrix();
    const Vec3 h = heights(grid.matrix_);
    const double width = reach / kCellsPerReach;
    const double most = std::max(1.0, kMaxCellsPerAtom * static_cast<double>(n_atoms));
    double total = 1.0;
    for (int axis = 0; axis < 3; ++axis) {
        grid.counts_[axis] = std::max(1, static_cast<int>(std::min(h[axis] / width, 1024.0)));
        total *= grid.counts_[axis];
    }
    while (total > most) {
        const int axis =
            static_cast<int>(std::max_element(grid.counts_.begin(), grid.counts_.end()) - grid.counts_.begin());
        total = total / grid.counts_[axis] * std::max(1, grid.counts_[axis] / 2);
        grid.counts_[axis] = std::max(1, grid.counts_[axis] / 2);
    }
    std::array<int, 3> whole{};
    for (int axis = 0; axis < 3; ++axis) whole[axis] = static_cast<int>(std::ceil(reach / h[axis])) + 1;
    for (int i = -whole[0]; i <= whole[0]; ++i)
        for (int j = -whole[1]; j <= whole[1]; ++j)
            for (int k = -whole[2]; k <= whole[2]; ++k)
                if (cell_gap(grid.matrix_, {i, j, k}) <= reach * (1.0 + 1e-9) + 1e-9) grid.images_.push_back({i, j, k});
    Mat3 edges{};
    for (int axis = 0; axis < 3; ++axis)
        for (int k = 0; k < 3; ++k) edges[axis][k] = grid.matrix_[axis][k] / grid.counts_[axis];
    std::array<int, 3> span{};
    for (int axis = 0; axis < 3; ++axis)
        span[axis] = static_cast<int>(std::ceil(reach / (h[axis] / grid.counts_[axis]))) + 1;
    // A stencil larger than this would mean a reach thousands of cells
    // across: a cell far too thin for the reach asked of it.
    const double stencil_size = (2.0 * span[0] + 1) * (2.0 * span[1] + 1) * (2.0 * span[2] + 1);
    if (stencil_size > 5e7)
        return fail_limit("the reach is too large for this cell: its stencil would visit " +
                          std::to_string(static_cast<std::uint64_t>(stencil_size)) + " cells");
    for (int i = -span[0]; i <= span[0]; ++i)
        for (int j = -span[1]; j <= span[1]; ++j)
            for (int k = -span[2]; k <= span[2]; ++k)
                if (cell_gap(edges, {i, j, k}) <= reach * (1.0 + 1e-9) + 1e-9) grid.stencil_.push_back({i, j, k});
    grid.size_.assign(static_cast<std::size_t>(total), 0);
    grid.slot_.assign(n_atoms, std::numeric_limits<std::uint32_t>::max());
    grid.cell_.assign(n_atoms, 0);
    // Room for twice the mean occupancy and a few more; a crowded cell grows them all.
    grid.reserve(static_cast<std::uint32_t>(2.0 * static_cast<double>(n_atoms) / total) + 8);
    return grid;
}

void CellGrid::reserve(std::uint32_t capacity) {
    const std::size_t cells = size_.size();
    std::vector<double> x(cells * capacity), y(cells * capacity), z(cells * capacity);
    std::vector<std::uint32_t> atom(cells * capacity);
    std::vector<std::uint8_t> kind(cells * capacity, kSkippedKind);
    for (std::size_t c = 0; c < cells; ++c)
        for (std::uint32_t k = 0; k < size_[c]; ++k) {
            const std::size_t from = c * capacity_ + k, to = c * capacity + k;
            x[to] = x_[from];
            y[to] = y_[from];
            z[to] = z_[from];
            atom[to] = atom_[from];
            kind[to] = kind_[from];
            slot_[atom_[from]] = static_cast<std::uint32_t>(to);
        }
    capacity_ = capacity;
    x_ = std::move(x);
    y_ = std::move(y);
    z_ = std::move(z);
    atom_ = std::move(atom);
    kind_ = std::move(kind);
}

void CellGrid::place(std::uint32_t atom, const Vec3& frac, std::uint8_t kind) {
    const std::uint32_t to = cell_index(frac);
    std::uint32_t at = slot_[atom];
    if (at == std::numeric_limits<std::uint32_t>::max() || cell_[atom] != to) {
        if (size_[to] == capacity_) {
            reserve(2 * capacity_);
            at = slot_[atom];
        }
        if (at != std::numeric_limits<std::uint32_t>::max()) {
            // The cell's last entry fills the hole the atom leaves.
            const std::uint32_t from = cell_[atom];
            const std::uint32_t last = from * capacity_ + --size_[from];
            x_[at] = x_[last];
            y_[at] = y_[last];
            z_[at] = z_[last];
            atom_[at] = atom_[last];
            kind_[at] = kind_[last];
            slot_[atom_[at]] = at;
            kind_[last] = kSkippedKind;
        }
        at = to * capacity_ + size_[to]++;
        slot_[atom] = at;
        atom_[at] = atom;
        cell_[atom] = to;
    }
    const Vec3 p = cartesian(frac);
    x_[at] = p[0];
    y_[at] = p[1];
    z_[at] = p[2];
    kind_[at] = kind;
}

}  // namespace kestrel::bigbox
