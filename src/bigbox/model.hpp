// The supercell a big-box refinement works on: every site with one species
// or a vacancy, which sites may trade places, and the units of correlated
// disorder whose copies trade whole alternatives.
#pragma once

#include <array>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "bigbox/pair_state.hpp"
#include "model/structure.hpp"

namespace kestrel::bigbox {

// One site of one alternative of a unit copy, and the species it holds when
// that alternative is chosen.
struct UnitSite {
    std::uint32_t site;
    std::uint8_t species;
};

// A copy of a unit in the supercell: per alternative, its sites. At most
// one alternative is present at a time; the others' sites are vacancies.
struct UnitCopy {
    std::vector<std::vector<UnitSite>> alternatives;
};

struct BigBoxModel {
    ModelSites sites;
    std::vector<std::string> elements;              // the species codes' names
    std::vector<std::vector<std::uint32_t>> pools;  // sites that trade places, per pool
    std::vector<std::vector<UnitCopy>> unit_pools;  // copies that trade alternatives, per pool
    std::array<std::uint64_t, 3> repeats{1, 1, 1};
};

// The alternative a copy holds now (alternatives.size() for none), with
// species_of(site) the species a site holds.
template <class SpeciesOf>
std::size_t chosen_alternative(const UnitCopy& copy, SpeciesOf&& species_of) {
    for (std::size_t a = 0; a < copy.alternatives.size(); ++a)
        if (!copy.alternatives[a].empty() && species_of(copy.alternatives[a].front().site) != kVacancy) return a;
    return copy.alternatives.size();
}

// The repeats of `structure` filled as the expansion fills them: each pool of
// equivalent partly occupied sites gets the expansion's atom counts (vacancies
// making up the rest) in a seeded random arrangement and becomes a swap pool;
// units of correlated disorder take whole alternatives as the expansion deals
// them, and copies of one unit form a pool. `labels` (one per site of
// `structure`, or empty) makes pools of ordered sites: ordered sites with
// the same label >= 0 trade places.
Result<BigBoxModel> build_model(const Structure& structure, const std::array<std::uint64_t, 3>& repeats,
                                const std::vector<std::int64_t>& labels, std::uint64_t seed, std::stop_token stop);

}  // namespace kestrel::bigbox
