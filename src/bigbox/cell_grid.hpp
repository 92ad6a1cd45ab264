// Atoms of a periodic supercell sorted into a grid of cells and kept sorted
// as they move, so that every image of every atom within a fixed reach of
// any point is found by visiting one fixed stencil of cells. Unlike the
// neighbour search of the RDF, which sweeps a structure once, this grid
// answers many small questions about a changing structure.
#pragma once

#include <array>
#include <cmath>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/error.hpp"
#include "model/lattice.hpp"

namespace kestrel::bigbox {

// Whole lattice translations, as a cartesian vector. Every path that needs
// the translation (i, j, k) takes it from here, so one pair seen two ways
// gets a bit-identical distance.
inline Vec3 translation(const Mat3& m, int i, int j, int k) {
    const double a = i, b = j, c = k;
    return {a * m[0][0] + b * m[1][0] + c * m[2][0], a * m[0][1] + b * m[1][1] + c * m[2][1],
            a * m[0][2] + b * m[1][2] + c * m[2][2]};
}

// The distance vector from p to q + shift. Written as (q - p) + shift: IEEE
// subtraction is antisymmetric, so the pair seen from q gives the exact
// negative, and both ends agree on the distance to the last bit.
inline Vec3 separation(const Vec3& p, const Vec3& q, const Vec3& shift) {
    return {(q[0] - p[0]) + shift[0], (q[1] - p[1]) + shift[1], (q[2] - p[2]) + shift[2]};
}

inline double norm2(const Vec3& v) {
    return v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
}

// A fractional coordinate folded into [0, 1).
inline double wrap_unit(double x) {
    double w = x - std::floor(x);
    return w >= 1.0 ? 0.0 : w;
}

// A code a grid entry carries beside its position (the species of the
// atom): entries at kSkippedKind or above are passed over by the sweeps.
inline constexpr std::uint8_t kSkippedKind = 254;

class CellGrid {
public:
    // A grid over `lattice` whose stencil reaches every point within `reach`
    // of any point of a cell, holding `n_atoms` atoms (none placed yet).
    static Result<CellGrid> make(const Lattice& lattice, double reach, std::size_t n_atoms);

    const Mat3& matrix() const { return matrix_; }
    // Places (or moves) an atom at a fractional position already in [0, 1),
    // with its kind.
    void place(std::uint32_t atom, const Vec3& frac, std::uint8_t kind);
    void set_kind(std::uint32_t atom, std::uint8_t kind) { kind_[slot_[atom]] = kind; }
    std::uint8_t kind(std::uint32_t atom) const { return kind_[slot_[atom]]; }
    // The cartesian position an atom is stored at (its wrapped image).
    Vec3 position(std::uint32_t atom) const {
        const std::uint32_t at = slot_[atom];
        return {x_[at], y_[at], z_[at]};
    }
    // Where an atom at `frac` is stored: place() puts it exactly here.
    Vec3 cartesian(const Vec3& frac) const {
        const Mat3& m = matrix_;
        return {frac[0] * m[0][0] + frac[1] * m[1][0] + frac[2] * m[2][0],
                frac[0] * m[0][1] + frac[1] * m[1][1] + frac[2] * m[2][1],
                frac[0] * m[0][2] + frac[1] * m[1][2] + frac[2] * m[2][2]};
    }
    // The whole translations (i, j, k) that can bring an image of one point
    // of the cell within the reach of another: the few a pair of given atoms
    // is checked over.
    const std::vector<std::array<int, 3>>& images() const { return images_; }
    std::size_t n_stencil() const { return stencil_.size(); }

    // visit(atom, kind, d2) for every stored atom image, of a kind below
    // kSkippedKind, whose squared distance d2 from p (at `frac`) is below
    // `limit2`; the atom at p itself is among them, at d2 = 0. Distances are
    // formed as separation() forms them.
    template <class Visit>
    void for_each_near(const Vec3& frac, const Vec3& p, double limit2, Visit&& visit) const {
        const std::array<int, 3> home = cell_of(frac);
        for (const std::array<int, 3>& offset : stencil_) {
            std::array<int, 3> cell, image;
            for (int axis = 0; axis < 3; ++axis) {
                const int at = home[axis] + offset[axis], n = counts_[axis];
                image[axis] = at >= 0 ? at / n : -((-at + n - 1) / n);
                cell[axis] = at - image[axis] * n;
            }
            const Vec3 shift = translation(matrix_, image[0], image[1], image[2]);
            const std::uint32_t c = static_cast<std::uint32_t>((cell[0] * counts_[1] + cell[1]) * counts_[2] + cell[2]);
            const std::uint32_t begin = c * capacity_, end = begin + size_[c];
            for (std::uint32_t e = begin; e < end; ++e) {
                const double dx = (x_[e] - p[0]) + shift[0], dy = (y_[e] - p[1]) + shift[1],
                             dz = (z_[e] - p[2]) + shift[2];
                const double d2 = dx * dx + dy * dy + dz * dz;
                if (d2 < limit2 && kind_[e] < kSkippedKind) visit(atom_[e], kind_[e], d2);
            }
        }
    }

private:
    std::array<int, 3> cell_of(const Vec3& frac) const {
        std::array<int, 3> cell;
        for (int axis = 0; axis < 3; ++axis)
            cell[axis] = std::min(counts_[axis] - 1, std::max(0, static_cast<int>(frac[axis] * counts_[axis])));
        return cell;
    }
    std::uint32_t cell_index(const Vec3& frac) const {
        const std::array<int, 3> c = cell_of(frac);
        return static_cast<std::uint32_t>((c[0] * counts_[1] + c[1]) * counts_[2] + c[2]);
    }
    // Gives every cell room for `capacity` entries, keeping what they hold.
    void reserve(std::uint32_t capacity);

    Mat3 matrix_{};
    std::array<int, 3> counts_{1, 1, 1};
    std::vector<std::array<int, 3>> images_;
    std::vector<std::array<int, 3>> stencil_;  // cell offsets whose cells come within reach of the home cell
    // Entries cell by cell, each cell a stretch of capacity_ slots of which
    // the first size_[c] are used: a sweep reads one contiguous run per
    // cell, and an atom moving between cells shifts no other cell's entries.
    std::uint32_t capacity_ = 0;
    std::vector<std::uint32_t> size_;  // per cell
    std::vector<double> x_, y_, z_;    // per slot, cartesian position
    std::vector<std::uint32_t> atom_;  // per slot
    std::vector<std::uint8_t> kind_;   // per slot
    std::vector<std::uint32_t> slot_;  // per atom (UINT32_MAX: not placed)
    std::vector<std::uint32_t> cell_;  // per atom
};

}  // namespace kestrel::bigbox
