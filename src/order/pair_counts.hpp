// Pair statistics of one sublattice: how many neighbour pairs of each
// species pair every shell holds, and the Warren-Cowley parameters they give.
#pragma once

#include <cstdint>
#include <vector>

#include "order/neighbor_shells.hpp"

namespace kestrel::order {

struct PairCounts {
    std::size_t n_shells = 0, n_species = 0;
    // Ordered pairs (i, j) with i of species a and j of species b in shell s,
    // at [(s * n_species + a) * n_species + b]: an a-b pair counts once as
    // (a, b) and once as (b, a), an a-a pair twice as (a, a).
    std::vector<std::int64_t> bonds;
    // Neighbours of all sites of species a in shell s, at [s * n_species + a].
    std::vector<std::int64_t> row;
    std::vector<std::uint64_t> species_count;  // sites per species
    std::uint64_t n_sites = 0;

    std::int64_t& bond(std::size_t s, std::size_t a, std::size_t b) {
        return bonds[(s * n_species + a) * n_species + b];
    }
    std::int64_t bond(std::size_t s, std::size_t a, std::size_t b) const {
        return bonds[(s * n_species + a) * n_species + b];
    }
    std::int64_t row_sum(std::size_t s, std::size_t a) const { return row[s * n_species + a]; }
    double concentration(std::size_t b) const {
        return static_cast<double>(species_count[b]) / static_cast<double>(n_sites);
    }
    // alpha_ab(s) = 1 - P(b | a, s) / c_b; NaN where no site of a has a
    // neighbour in shell s.
    double alpha(std::size_t s, std::size_t a, std::size_t b) const;
};

// Counts every pair of the sublattice from scratch: the reference the
// per-swap updates must agree with. species[i] < n_species for each member.
PairCounts count_pairs(const NeighborShells& shells, const std::vector<std::uint8_t>& species, std::size_t n_species);

// Mean neighbours per site in each shell.
std::vector<double> coordination(const NeighborShells& shells);

}  // namespace kestrel::order
