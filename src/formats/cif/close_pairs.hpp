// Points of a periodic cell that may lie close to one another, found by a
// sweep along a instead of comparing every pair: the disorder finder relates
// split positions and disorder-group images this way, so a file with
// thousands of partly occupied sites costs n log n plus its close pairs.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "model/lattice.hpp"

namespace kestrel {

// A lattice translation, in cells.
using CellShift = Vector3<std::int32_t>;

// The translation T that brings q + T nearest p (each axis on its own, which
// is the nearest image for the short distances the disorder finder asks
// about), and the Cartesian distance left.
std::pair<CellShift, double> nearest_image(const Lattice& lattice, const Vec3& p, const Vec3& q);

// Per axis, the largest fractional difference two points closer than
// `distance` (Cartesian, angstrom) can show, with room for rounding: a
// Cartesian difference of length r has, on axis i, a fractional part of at
// most r times the length of column i of the inverse matrix.
Vec3 fractional_reach(const Lattice& lattice, double distance);

// For each point, the other points whose periodic difference on every axis
// is at most `reach` on that axis (a superset of those within the distance
// the reach came from), ascending.
class CloseNeighbors {
public:
    // `points` are fractional; any values, they are compared periodically.
    CloseNeighbors(const std::vector<Vec3>& points, const Vec3& reach);

    std::span<const std::uint32_t> of(std::size_t point) const {
        return {partners_.data() + start_[point], partners_.data() + start_[point + 1]};
    }

private:
    std::vector<std::uint32_t> start_;     // per point, into partners_; one more entry at the end
    std::vector<std::uint32_t> partners_;  // each point's partners in a row
};

}  // namespace kestrel
