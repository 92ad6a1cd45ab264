// The short-range order of a sublattice as results carry it: its species,
// shells and Warren-Cowley parameters, and the function that measures it on
// any ordered structure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "model/structure.hpp"
#include "order/pair_counts.hpp"

namespace kestrel::order {

// The name vacancies take in the statistics; they are never written out.
inline const std::string kVacancyName = "Va";

struct SublatticeOrder {
    std::vector<std::uint64_t> sites;  // the sublattice's site indices in the structure
    std::vector<std::string> species;
    std::vector<std::uint64_t> counts;  // sites per species
    std::vector<double> radii;          // per shell, angstrom
    std::vector<double> coordination;   // mean neighbours per site, per shell
    std::vector<double> alpha;          // [(s * n_species + a) * n_species + b]
};

SublatticeOrder describe_order(std::vector<std::uint64_t> sites, std::vector<std::string> species,
                               const NeighborShells& shells, const PairCounts& counts);

// Warren-Cowley parameters of an ordered structure over its first `shells`
// neighbour shells, over all periodic images. Every site holds one whole
// atom, or nothing (total occupancy 0: a vacancy, a species of its own).
// Pairs are counted only between sites of the same sublattice: `labels`
// gives one label per site (empty: all sites one sublattice).
Result<std::vector<SublatticeOrder>> warren_cowley(const Structure& structure, std::size_t shells, double tol,
                                                   const std::vector<std::int64_t>& labels);

}  // namespace kestrel::order
