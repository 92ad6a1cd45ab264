// Turning partial occupancies into an ordered supercell of whole atoms.
#pragma once

#include <array>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "expand/unit_choice.hpp"
#include "model/structure.hpp"

namespace kestrel::expand {

// One species of one pool: what was asked for and what was delivered.
struct OccupancyReportRow {
    std::string element;
    double target_occupancy;  // the representative's stored occupancy
    std::uint64_t sites_in_pool;
    std::uint64_t atoms_placed;  // the pool's share, even where it overflowed the pool
    // What names the pool to a reader, as two pools may hold the same
    // elements: its first site in the source structure (from 0) and that
    // site's fractional coordinates.
    std::uint64_t site_index;
    Vec3 frac;
};

struct ExpansionReport {
    std::array<std::uint64_t, 3> scale;
    std::uint64_t n_vacancies;
    std::vector<std::string> warnings;
    std::vector<OccupancyReportRow> occupancy_report;
    // Per alternative of each pool of equivalent units: how many copies took
    // it. Empty for a structure without units.
    std::vector<UnitReportRow> unit_report;
};

struct Expansion {
    Structure structure;
    ExpansionReport report;
};

// Every occupancy finite and at most 1.001 (a larger one could only be offset
// by a negative partner, and would hand a pool more atoms than sites).
Result<Ok> check_occupancies(const Structure& structure);

// An n x n x n supercell (n bounded by max_sites) in which every site holds
// one whole atom; pools of equivalent sites receive their atoms in a
// seed-determined random arrangement. Same input and seed, same result.
// Fails with "interrupted" once `stop` is requested (looked at between
// the steps, per pool and every 65,536 sites).
Result<Expansion> expand_occupancies(const Structure& structure, std::uint64_t max_sites, std::uint64_t seed,
                                     std::uint64_t max_denominator, std::stop_token stop = {});

}  // namespace kestrel::expand
