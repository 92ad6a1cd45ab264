// A better-shaped cell for the neighbor search. A cell with a small angle
// (or any cell whose vectors are far from orthogonal) describes the same
// lattice as a nearly orthogonal one; its grid cells are long slanted
// slivers, and a search over them visits far more images than the cutoff
// sphere holds. The periodic images, and so the pairs, are the same in
// every basis of the lattice, so the search may run in the better one.
#pragma once

#include <optional>
#include <vector>

#include "model/lattice.hpp"
#include "model/structure.hpp"

namespace kestrel {

// The same lattice in a basis with shorter, more orthogonal vectors (each
// vector's projection on each other is at most half that one's length), and
// the sites' fractional coordinates in that basis, wrapped into [0, 1).
struct ReducedCell {
    Lattice lattice;
    std::vector<Vec3> wrapped;
};

// Nothing when the given cell is already about as good: the search then
// keeps the caller's basis, and with it every last bit of its distances.
// Only a cell whose |a| |b| |c| / V drops by a third or more is changed.
std::optional<ReducedCell> reduce_for_search(const Lattice& lattice, const std::vector<Site>& sites);

}  // namespace kestrel
