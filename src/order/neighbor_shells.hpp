// Neighbour shells of one sublattice: its sites' distances to each other,
// over all periodic images, grouped into shells, and per site the
// neighbours each shell holds.
#pragma once

#include <cstdint>
#include <vector>

#include "base/error.hpp"
#include "model/lattice.hpp"

namespace kestrel::order {

struct NeighborShells {
    std::vector<double> radii;  // per shell, the smallest distance grouped into it
    // Neighbours of member i in shell s, as member indices (one entry per
    // periodic image, so a site met through two images appears twice):
    // neighbor[start[i * S + s] .. start[i * S + s + 1]).
    std::vector<std::uint32_t> start;
    std::vector<std::uint32_t> neighbor;

    std::size_t n_shells() const { return radii.size(); }
    std::size_t n_members() const { return (start.size() - 1) / n_shells(); }
    std::uint32_t begin(std::size_t member, std::size_t shell) const { return start[member * n_shells() + shell]; }
    std::uint32_t end(std::size_t member, std::size_t shell) const { return start[member * n_shells() + shell + 1]; }
};

// The first `shells` shells among the sites at `positions` (fractional,
// in `lattice`): distances within `tol` angstrom of a shell's first
// distance belong to that shell. With `allow_self_images` false, a site
// meeting one of its own images within the shells is an error (a supercell
// too small to tell a site from its image).
Result<NeighborShells> neighbor_shells(const Lattice& lattice, const std::vector<Vec3>& positions, std::size_t shells,
                                       double tol, bool allow_self_images);

}  // namespace kestrel::order
