// One sublattice's arrangement during the search, with its pair counts and
// objective kept up to date swap by swap: a trial swap reads only the two
// sites' neighbour lists and the terms of the species pairs they touch.
#pragma once

#include <cstdint>
#include <vector>

#include "order/neighbor_shells.hpp"
#include "order/objective.hpp"

namespace kestrel::order {

// What stays fixed for a sublattice while its sites are swapped.
struct SublatticeProblem {
    NeighborShells shells;
    std::size_t n_species = 0;
    std::vector<std::uint64_t> counts;  // sites per species
    ObjectiveTerms terms;
};

class SwapState {
public:
    SwapState(const SublatticeProblem& problem, std::vector<std::uint8_t> species);

    // The change of the objective if members i and j (of different
    // species) traded places; remembered for accept().
    double trial(std::uint32_t i, std::uint32_t j);
    // Makes the last trial's swap.
    void accept();

    double objective() const { return objective_; }
    // The objective summed again from scratch (and kept from now on): the
    // running sum gathers rounding errors over millions of updates.
    double refresh();
    const std::vector<std::uint8_t>& species() const { return species_; }
    std::size_t size() const { return species_.size(); }

private:
    double term(std::size_t s, std::size_t x, std::size_t y, std::int64_t pairs, double scale) const;
    double scale_of(std::size_t s, std::size_t x, std::size_t y) const;
    void rescale(std::size_t s, std::size_t x);

    const SublatticeProblem& problem_;
    std::size_t m_, n_shells_;
    std::vector<std::uint8_t> species_;
    std::vector<std::int64_t> pairs_;         // [s][x][y], x != y: a-b pairs of the shell (symmetric)
    std::vector<std::int64_t> row_;           // [s][x]: neighbours of all x sites in shell s
    std::vector<std::int32_t> coordination_;  // [member][s]
    std::vector<double> inverse_c_;           // 1 / c_y
    std::vector<double> scale_;               // [s][x][y] = 1 / (row_x c_y), so alpha_xy = 1 - pairs * scale
    std::vector<double> terms_;               // [s][x][y]: w_s |alpha - target| for x < y, mirrored
    double objective_ = 0.0;

    // The last trial.
    std::uint32_t i_ = 0, j_ = 0;
    std::vector<std::int32_t> delta_;    // [s][t]: neighbours of species t gained by j's side minus i's
    std::vector<std::int32_t> delta_z_;  // [s]: coordination of j minus that of i
};

}  // namespace kestrel::order
